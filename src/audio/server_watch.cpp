#include "audio/server_watch.h"

#include "audio/jack_client.h"
#include "audio/rate_gate.h"
#include "engine/engine_state.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <vector>

namespace {

// ---- main thread only ----------------------------------------------------------

AudioStatus status;
std::string status_words = audio_status_text(status);
bool client_ran = false;  // a client has run at SERVER_RATE: its connections are the ones to keep

struct OwnPort {
    jack_port_t *const *handle;
    bool input;
};

const OwnPort OWN_PORTS[] = {
    {&port_input_1, true}, {&port_input_2, true}, {&port_output_1, false},
    {&port_output_2, false}, {&port_input_midi, true}, {&port_output_midi, false},
};

struct Connection {
    int port;           // index into OWN_PORTS
    std::string other;  // full name of the port at the other end
    bool operator==(const Connection &) const = default;
};

// Once the server is gone its connections cannot be asked for, so they are
// taken down on every look while the client runs.
std::vector<Connection> remembered;  // as last seen, and those still to be restored
std::vector<Connection> to_restore;  // of a lost client, not yet made on the new one

void remember_connections()
{
    std::vector<Connection> now;
    for (int i = 0; i < static_cast<int>(std::size(OWN_PORTS)); i++) {
        jack_port_t *port = *OWN_PORTS[i].handle;
        if (port == nullptr)
            continue;
        if (const char **others = jack_port_get_all_connections(jack_client, port)) {
            for (const char **other = others; *other != nullptr; other++)
                now.push_back({i, *other});
            jack_free(others);
        }
    }
    for (const Connection &connection : to_restore)
        if (std::find(now.begin(), now.end(), connection) == now.end())
            now.push_back(connection);
    remembered = std::move(now);
}

// A port that is not there yet (its client comes back later than we did) is
// tried again on the next look; a connection the server refuses is dropped.
void restore_connections()
{
    std::vector<Connection> waiting;
    for (const Connection &connection : to_restore) {
        if (jack_port_by_name(jack_client, connection.other.c_str()) == nullptr) {
            waiting.push_back(connection);
            continue;
        }
        const OwnPort &own = OWN_PORTS[connection.port];
        const char *ours = jack_port_name(*own.handle);
        const char *other = connection.other.c_str();
        const int result = own.input ? jack_connect(jack_client, other, ours) : jack_connect(jack_client, ours, other);
        if (result != 0 && result != EEXIST)
            std::fprintf(stderr, "orvel: could not connect %s and %s again\n", ours, other);
    }
    to_restore = std::move(waiting);
}

void quiet_jack_error(const char *) {}

}  // namespace

std::string audio_status_text(const AudioStatus &s)
{
    char text[96];
    switch (s.state) {
    case AudioState::starting:
        return "Looking for JACK";
    case AudioState::running:
        std::snprintf(text, sizeof text, "JACK %u Hz, %u frames", static_cast<unsigned>(s.rate),
                      static_cast<unsigned>(s.period));
        return text;
    case AudioState::no_server:
        return "No JACK server";
    case AudioState::wrong_rate:
        std::snprintf(text, sizeof text, "JACK runs at %u Hz; Orvel needs %d Hz", static_cast<unsigned>(s.rate),
                      SERVER_RATE);
        return text;
    case AudioState::server_stopped:
        return "JACK server stopped; waiting for it";
    case AudioState::refused:
        return "JACK refused Orvel's ports";
    }
    return {};
}

AudioStatus audio_status()
{
    return status;
}

void audio_report(AudioState state, std::uint32_t rate)
{
    if (state == AudioState::no_server && status.state == AudioState::server_stopped)
        return;
    const bool joined = state == AudioState::running && status.state != AudioState::running;
    status.state = state;
    status.rate = state == AudioState::running || state == AudioState::wrong_rate ? rate : 0;
    status.period = state == AudioState::running ? audio_period.load(std::memory_order_relaxed) : 0;
    if (joined) {
        client_ran = true;
        remember_connections();
    }
    std::string words = audio_status_text(status);
    if (words == status_words)
        return;
    status_words = std::move(words);
    std::fprintf(stderr, "orvel: %s\n", status_words.c_str());
}

void audio_watch(const char *name, bool connect)
{
    if (audio_stopping.load(std::memory_order_acquire) != 0)
        return;
    if (jack_client != nullptr && audio_server_gone.load(std::memory_order_acquire)) {
        audio_release_lost_client();
        to_restore = remembered;
        audio_report(AudioState::server_stopped);
    }
    if (jack_client == nullptr) {
        jack_set_error_function(quiet_jack_error);
        const bool failed = audio_open(name, connect && !client_ran);
        jack_set_error_function(nullptr);
        if (failed)
            return;
    }
    rate_gate_reopen();
    const std::uint32_t rate = rate_gate_rate();
    audio_report(rate == static_cast<std::uint32_t>(SERVER_RATE) ? AudioState::running : AudioState::wrong_rate, rate);
    restore_connections();
    remember_connections();
}
