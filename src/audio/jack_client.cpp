#include "audio/jack_client.h"

#include "audio/server_presence.h"
#include "engine/engine_types.h"

#include <jack/midiport.h>
#include <sched.h>
#include <unistd.h>

#include <QThread>

#include <algorithm>
#include <chrono>
#include <cstring>

namespace {

constexpr useconds_t STOP_SILENCE_US = 100000;  // long enough for a few periods of silence
constexpr int MIDI_EVENTS_PER_CALL = 32;        // more than a 12-note chord's note-ons and note-offs
// How long to wait for the callback to end the sounding notes: a few periods,
// but no less than a late cycle of a busy non-real-time server may take.
constexpr long END_NOTES_PERIODS = 8;
constexpr long END_NOTES_MIN_US = 100000;
constexpr useconds_t END_NOTES_POLL_US = 1000;

struct PortSpec {
    const char *name;
    const char *type;
    unsigned long flags;
};

const PortSpec PORTS[PORT_COUNT] = {
    {"input_1", JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput},
    {"input_2", JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput},
    {"output_1", JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput},
    {"output_2", JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput},
    {"input_midi", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput},
    {"output_midi", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput},
};

}  // namespace

JackClient::JackClient(SampleExchange &exchange) : exchange_(exchange), rate_gate_(exchange) {}

JackClient::~JackClient()
{
    stop();
}

// Capture ports feed both inputs (the first one twice if it is alone);
// playback ports take what exists of the two outputs.
void JackClient::connect_physical_ports()
{
    if (const char **capture = jack_get_ports(client_, nullptr, nullptr, JackPortIsPhysical | JackPortIsOutput)) {
        if (capture[0] != nullptr) {
            jack_connect(client_, capture[0], jack_port_name(ports_[PORT_INPUT_1]));
            const char *second = capture[1] != nullptr ? capture[1] : capture[0];
            jack_connect(client_, second, jack_port_name(ports_[PORT_INPUT_2]));
        }
        jack_free(capture);
    }
    if (const char **playback = jack_get_ports(client_, nullptr, nullptr, JackPortIsPhysical | JackPortIsInput)) {
        if (playback[0] != nullptr) {
            jack_connect(client_, jack_port_name(ports_[PORT_OUTPUT_1]), playback[0]);
            if (playback[1] != nullptr)
                jack_connect(client_, jack_port_name(ports_[PORT_OUTPUT_2]), playback[1]);
        }
        jack_free(playback);
    }
}

void JackClient::close_client()
{
    jack_client_close(client_);
    midi_.forget();  // the notes and words belonged to the closed port
    client_ = nullptr;
    std::fill(std::begin(ports_), std::end(ports_), nullptr);
}

OpenResult JackClient::fail_open(OpenResult result)
{
    close_client();
    return result;
}

OpenResult JackClient::open(const char *name, bool connect)
{
    server_gone_.store(false, std::memory_order_release);
    if (!jack_server_may_listen(jack_server_name()))
        return {OpenOutcome::no_server, 0};
    client_ = jack_client_open(name, JackNoStartServer, nullptr);
    if (client_ == nullptr)
        return {OpenOutcome::no_server, 0};
    jack_set_process_callback(client_, process_callback, this);
    jack_set_buffer_size_callback(client_, buffer_size_callback, this);
    jack_set_sample_rate_callback(client_, sample_rate_callback, this);
    jack_on_shutdown(client_, shutdown_callback, this);
    const jack_nframes_t rate = jack_get_sample_rate(client_);
    if (rate != static_cast<jack_nframes_t>(SERVER_RATE))
        return fail_open({OpenOutcome::wrong_rate, rate});
    period_.store(jack_get_buffer_size(client_), std::memory_order_relaxed);
    // No callback runs yet: the rings start as fresh as at start-up, which
    // keeps the tap paired with the input after a server came back.
    rate_gate_.restart(rate);
    // A client opened again runs its callback on a new thread, to be adopted anew.
    timing_.set_thread_id(0);
    for (int p = 0; p < PORT_COUNT; p++)
        ports_[p] = jack_port_register(client_, PORTS[p].name, PORTS[p].type, PORTS[p].flags, 0);
    if (std::find(std::begin(ports_), std::end(ports_), nullptr) != std::end(ports_))
        return fail_open({OpenOutcome::refused, 0});
    if (jack_activate(client_) != 0)
        return fail_open({OpenOutcome::refused, 0});
    if (connect)
        connect_physical_ports();
    return {OpenOutcome::joined, rate};
}

void JackClient::release_lost_client()
{
    if (client_ != nullptr && server_gone())
        close_client();
}

// JACK gives a real-time server's client threads their priority; the
// toolkit's HighPriority maps to a lower real-time priority and would put
// Orvel behind the clients it plays with. Only an ordinary thread is raised.
// PipeWire's libjack runs its thread under SCHED_FIFO with the
// reset-on-fork flag, which the policy carries.
void JackClient::adopt_callback_thread()
{
    timing_.set_thread_id(static_cast<pid_t>(gettid()));
    const int policy = sched_getscheduler(0) & ~SCHED_RESET_ON_FORK;
    if (policy != SCHED_FIFO && policy != SCHED_RR)
        QThread::currentThread()->setPriority(QThread::HighPriority);
}

void JackClient::move_audio(jack_nframes_t nframes)
{
    const auto *in_1 = static_cast<const float *>(jack_port_get_buffer(ports_[PORT_INPUT_1], nframes));
    const auto *in_2 = static_cast<const float *>(jack_port_get_buffer(ports_[PORT_INPUT_2], nframes));
    auto *out_1 = static_cast<float *>(jack_port_get_buffer(ports_[PORT_OUTPUT_1], nframes));
    auto *out_2 = static_cast<float *>(jack_port_get_buffer(ports_[PORT_OUTPUT_2], nframes));
    void *midi_in = jack_port_get_buffer(ports_[PORT_INPUT_MIDI], nframes);
    void *midi_out = jack_port_get_buffer(ports_[PORT_OUTPUT_MIDI], nframes);
    jack_midi_clear_buffer(midi_out);

    if (stopping() || !rate_gate_.pass()) {
        std::memset(out_1, 0, nframes * sizeof(float));
        std::memset(out_2, 0, nframes * sizeof(float));
        return;
    }
    // The exchange works in place: the inputs go in, what to play comes out.
    std::memmove(out_1, in_1, nframes * sizeof(float));
    std::memmove(out_2, in_2, nframes * sizeof(float));

    // MIDI input has no use yet; read it so the port behaves like any other.
    const jack_nframes_t events = jack_midi_get_event_count(midi_in);
    for (jack_nframes_t i = 0; i < events; i++) {
        jack_midi_event_t event;
        jack_midi_event_get(&event, midi_in, i);
    }

    exchange_.exchange(out_1, out_2, nframes);

    // Every word due in this period goes out at its own frame of the server's
    // clock, so a chord's notes share a frame and its length holds exactly.
    const jack_nframes_t first_frame = jack_last_frame_time(client_);
    MidiEvent due[MIDI_EVENTS_PER_CALL];
    int count;
    do {
        count = midi_.take_due(first_frame, nframes, due, MIDI_EVENTS_PER_CALL);
        for (int i = 0; i < count; i++)
            jack_midi_event_write(midi_out, due[i].offset, due[i].bytes, MIDI_MESSAGE_BYTES);
    } while (count == MIDI_EVENTS_PER_CALL);
}

int JackClient::process_callback(jack_nframes_t nframes, void *self)
{
    auto *client = static_cast<JackClient *>(self);
    const std::int64_t started = monotonic_ns();
    const int started_on = sched_getcpu();
    if (client->timing_.thread_id() == 0)
        client->adopt_callback_thread();
    client->move_audio(nframes);
    client->timing_.record(started, monotonic_ns(), started_on);
    return 0;
}

int JackClient::buffer_size_callback(jack_nframes_t nframes, void *self)
{
    static_cast<JackClient *>(self)->period_.store(nframes, std::memory_order_relaxed);
    return 0;
}

int JackClient::sample_rate_callback(jack_nframes_t nframes, void *self)
{
    static_cast<JackClient *>(self)->rate_gate_.server_rate(nframes);
    return 0;
}

void JackClient::shutdown_callback(void *self)
{
    static_cast<JackClient *>(self)->server_gone_.store(true, std::memory_order_release);
}

void JackClient::stop()
{
    if (client_ == nullptr)
        return;
    end_notes();
    begin_stopping();
    // Without a server the ports are gone with it, and nothing plays.
    if (!server_gone()) {
        usleep(STOP_SILENCE_US);
        for (jack_port_t *port : ports_)
            jack_port_disconnect(client_, port);
        jack_deactivate(client_);
        for (jack_port_t *port : ports_)
            jack_port_unregister(client_, port);
    }
    close_client();
}

void JackClient::end_notes()
{
    // Without a server nothing sounds any more, and nobody would answer.
    if (client_ == nullptr || stopping() || server_gone())
        return;
    const std::uint32_t ticket = midi_.request_silence();
    const long period_us = static_cast<long>(jack_get_buffer_size(client_)) * 1000000L / SERVER_RATE;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::microseconds(std::max(END_NOTES_PERIODS * period_us, END_NOTES_MIN_US));
    while (!midi_.silence_done(ticket) && !server_gone() && std::chrono::steady_clock::now() < deadline)
        usleep(END_NOTES_POLL_US);
}
