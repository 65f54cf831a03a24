#include "audio/server_watch.h"

#include "engine/engine_types.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <utility>

namespace {

bool is_input(int port)
{
    return port == PORT_INPUT_1 || port == PORT_INPUT_2 || port == PORT_INPUT_MIDI;
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

ServerWatch::ServerWatch(JackClient &client, std::string name, bool connect)
    : client_(client), name_(std::move(name)), connect_(connect), status_words_(audio_status_text(status_))
{
}

void ServerWatch::remember_connections()
{
    std::vector<Connection> now;
    for (int i = 0; i < PORT_COUNT; i++) {
        jack_port_t *port = client_.port(static_cast<JackPort>(i));
        if (port == nullptr)
            continue;
        if (const char **others = jack_port_get_all_connections(client_.handle(), port)) {
            for (const char **other = others; *other != nullptr; other++)
                now.push_back({i, *other});
            jack_free(others);
        }
    }
    for (const Connection &connection : to_restore_)
        if (std::find(now.begin(), now.end(), connection) == now.end())
            now.push_back(connection);
    remembered_ = std::move(now);
}

// A port that is not there yet (its client comes back later than we did) is
// tried again on the next look; a connection the server refuses is dropped.
void ServerWatch::restore_connections()
{
    std::vector<Connection> waiting;
    for (const Connection &connection : to_restore_) {
        if (jack_port_by_name(client_.handle(), connection.other.c_str()) == nullptr) {
            waiting.push_back(connection);
            continue;
        }
        const char *ours = jack_port_name(client_.port(static_cast<JackPort>(connection.port)));
        const char *other = connection.other.c_str();
        const int result = is_input(connection.port) ? jack_connect(client_.handle(), other, ours)
                                                     : jack_connect(client_.handle(), ours, other);
        if (result != 0 && result != EEXIST)
            std::fprintf(stderr, "orvel: could not connect %s and %s again\n", ours, other);
    }
    to_restore_ = std::move(waiting);
}

void ServerWatch::report(AudioState state, std::uint32_t rate)
{
    // While waiting for a server that stopped, no server answering is no news.
    if (state == AudioState::no_server && status_.state == AudioState::server_stopped)
        return;
    const bool joined = state == AudioState::running && status_.state != AudioState::running;
    status_.state = state;
    status_.rate = state == AudioState::running || state == AudioState::wrong_rate ? rate : 0;
    status_.period = state == AudioState::running ? client_.period() : 0;
    if (joined) {
        client_ran_ = true;
        remember_connections();
    }
    std::string words = audio_status_text(status_);
    if (words == status_words_)
        return;
    status_words_ = std::move(words);
    std::fprintf(stderr, "orvel: %s\n", status_words_.c_str());
}

bool ServerWatch::look()
{
    if (client_.stopping())
        return false;
    if (client_.handle() != nullptr && client_.server_gone()) {
        client_.release_lost_client();
        to_restore_ = remembered_;
        report(AudioState::server_stopped);
    }
    if (client_.handle() == nullptr) {
        jack_set_error_function(quiet_jack_error);
        const OpenResult opened = client_.open(name_.c_str(), connect_ && !client_ran_);
        jack_set_error_function(nullptr);
        switch (opened.outcome) {
        case OpenOutcome::joined:
            report(AudioState::running, opened.rate);
            break;
        case OpenOutcome::no_server:
            report(AudioState::no_server);
            return false;
        case OpenOutcome::wrong_rate:
            report(AudioState::wrong_rate, opened.rate);
            return false;
        case OpenOutcome::refused:
            report(AudioState::refused);
            return false;
        }
    }
    client_.rate_gate().reopen();
    const std::uint32_t rate = client_.rate_gate().rate();
    report(rate == static_cast<std::uint32_t>(SERVER_RATE) ? AudioState::running : AudioState::wrong_rate, rate);
    restore_connections();
    remember_connections();
    return true;
}
