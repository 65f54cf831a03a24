#include "audio/jack_client.h"

#include "audio/callback_timing.h"
#include "audio/midi_output.h"
#include "audio/rate_conversion.h"
#include "audio/rate_gate.h"
#include "audio/server_presence.h"
#include "audio/server_watch.h"
#include "engine/engine_state.h"

#include <jack/midiport.h>
#include <sched.h>
#include <unistd.h>

#include <QThread>

#include <algorithm>
#include <chrono>
#include <cstring>

jack_client_t *jack_client = nullptr;
jack_port_t *port_input_1 = nullptr;
jack_port_t *port_input_2 = nullptr;
jack_port_t *port_output_1 = nullptr;
jack_port_t *port_output_2 = nullptr;
jack_port_t *port_input_midi = nullptr;
jack_port_t *port_output_midi = nullptr;
std::atomic<int> audio_stopping{0};
std::atomic<bool> audio_server_gone{false};
std::atomic<jack_nframes_t> audio_period{0};

namespace {

constexpr useconds_t STOP_SILENCE_US = 100000;  // long enough for a few periods of silence
constexpr int MIDI_EVENTS_PER_CALL = 32;        // more than a 12-note chord's note-ons and note-offs
// How long to wait for the callback to end the sounding notes: a few periods,
// but no less than a late cycle of a busy non-real-time server may take.
constexpr long END_NOTES_PERIODS = 8;
constexpr long END_NOTES_MIN_US = 100000;
constexpr useconds_t END_NOTES_POLL_US = 1000;

struct PortSpec {
    jack_port_t **handle;
    const char *name;
    const char *type;
    unsigned long flags;
};

const PortSpec PORTS[] = {
    {&port_input_1, "input_1", JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput},
    {&port_input_2, "input_2", JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput},
    {&port_output_1, "output_1", JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput},
    {&port_output_2, "output_2", JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput},
    {&port_input_midi, "input_midi", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput},
    {&port_output_midi, "output_midi", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput},
};

// Capture ports feed both inputs (the first one twice if it is alone);
// playback ports take what exists of the two outputs.
void connect_physical_ports()
{
    if (const char **capture = jack_get_ports(jack_client, nullptr, nullptr, JackPortIsPhysical | JackPortIsOutput)) {
        if (capture[0] != nullptr) {
            jack_connect(jack_client, capture[0], jack_port_name(port_input_1));
            const char *second = capture[1] != nullptr ? capture[1] : capture[0];
            jack_connect(jack_client, second, jack_port_name(port_input_2));
        }
        jack_free(capture);
    }
    if (const char **playback = jack_get_ports(jack_client, nullptr, nullptr, JackPortIsPhysical | JackPortIsInput)) {
        if (playback[0] != nullptr) {
            jack_connect(jack_client, jack_port_name(port_output_1), playback[0]);
            if (playback[1] != nullptr)
                jack_connect(jack_client, jack_port_name(port_output_2), playback[1]);
        }
        jack_free(playback);
    }
}

void close_client()
{
    jack_client_close(jack_client);
    midi_forget();  // the notes and words belonged to the closed port
    jack_client = nullptr;
    for (const PortSpec &port : PORTS)
        *port.handle = nullptr;
}

bool fail_open()
{
    close_client();
    return true;
}

}  // namespace

bool audio_open(const char *name, bool connect)
{
    audio_server_gone.store(false, std::memory_order_release);
    if (!jack_server_may_listen(jack_server_name())) {
        audio_report(AudioState::no_server);
        return true;
    }
    jack_client = jack_client_open(name, JackNoStartServer, nullptr);
    if (jack_client == nullptr) {
        audio_report(AudioState::no_server);
        return true;
    }
    jack_set_process_callback(jack_client, process_callback, nullptr);
    jack_set_buffer_size_callback(jack_client, buffer_size_callback, nullptr);
    jack_set_sample_rate_callback(jack_client, sample_rate_callback, nullptr);
    jack_on_shutdown(jack_client, shutdown_callback, nullptr);
    const jack_nframes_t rate = jack_get_sample_rate(jack_client);
    if (rate != static_cast<jack_nframes_t>(SERVER_RATE)) {
        audio_report(AudioState::wrong_rate, rate);
        return fail_open();
    }
    audio_period.store(jack_get_buffer_size(jack_client), std::memory_order_relaxed);
    // No callback runs yet: the rings start as fresh as at start-up, which
    // keeps the tap paired with the input after a server came back.
    rate_gate_restart(rate);
    // A client opened again runs its callback on a new thread, to be adopted anew.
    callback_thread_id.store(0, std::memory_order_relaxed);
    for (const PortSpec &port : PORTS)
        *port.handle = jack_port_register(jack_client, port.name, port.type, port.flags, 0);
    for (const PortSpec &port : PORTS)
        if (*port.handle == nullptr) {
            audio_report(AudioState::refused);
            return fail_open();
        }
    if (jack_activate(jack_client) != 0) {
        audio_report(AudioState::refused);
        return fail_open();
    }
    if (connect)
        connect_physical_ports();
    audio_report(AudioState::running, rate);
    return false;
}

void audio_release_lost_client()
{
    if (jack_client != nullptr && audio_server_gone.load(std::memory_order_acquire))
        close_client();
}

namespace {

// JACK gives a real-time server's client threads their priority; the
// toolkit's HighPriority maps to a lower real-time priority and would put
// Orvel behind the clients it plays with. Only an ordinary thread is raised.
void adopt_callback_thread()
{
    callback_thread_id.store(static_cast<pid_t>(gettid()), std::memory_order_relaxed);
    const int policy = sched_getscheduler(0);
    if (policy != SCHED_FIFO && policy != SCHED_RR)
        QThread::currentThread()->setPriority(QThread::HighPriority);
}

void move_audio(jack_nframes_t nframes)
{
    const auto *in_1 = static_cast<const float *>(jack_port_get_buffer(port_input_1, nframes));
    const auto *in_2 = static_cast<const float *>(jack_port_get_buffer(port_input_2, nframes));
    auto *out_1 = static_cast<float *>(jack_port_get_buffer(port_output_1, nframes));
    auto *out_2 = static_cast<float *>(jack_port_get_buffer(port_output_2, nframes));
    void *midi_in = jack_port_get_buffer(port_input_midi, nframes);
    void *midi_out = jack_port_get_buffer(port_output_midi, nframes);
    jack_midi_clear_buffer(midi_out);

    if (audio_stopping.load(std::memory_order_acquire) != 0 || !rate_gate_pass()) {
        std::memset(out_1, 0, nframes * sizeof(float));
        std::memset(out_2, 0, nframes * sizeof(float));
        return;
    }
    // exchange_samples works in place: the inputs go in, what to play comes out.
    std::memmove(out_1, in_1, nframes * sizeof(float));
    std::memmove(out_2, in_2, nframes * sizeof(float));

    // MIDI input has no use yet; read it so the port behaves like any other.
    const jack_nframes_t events = jack_midi_get_event_count(midi_in);
    for (jack_nframes_t i = 0; i < events; i++) {
        jack_midi_event_t event;
        jack_midi_event_get(&event, midi_in, i);
    }

    exchange_samples(out_1, out_2, nframes);

    // Every word due in this period goes out at its own frame of the server's
    // clock, so a chord's notes share a frame and its length holds exactly.
    const jack_nframes_t first_frame = jack_last_frame_time(jack_client);
    MidiEvent due[MIDI_EVENTS_PER_CALL];
    int count;
    do {
        count = midi_take_due(first_frame, nframes, due, MIDI_EVENTS_PER_CALL);
        for (int i = 0; i < count; i++)
            jack_midi_event_write(midi_out, due[i].offset, due[i].bytes, MIDI_MESSAGE_BYTES);
    } while (count == MIDI_EVENTS_PER_CALL);
}

}  // namespace

int process_callback(jack_nframes_t nframes, void *)
{
    const std::int64_t started = monotonic_ns();
    const int started_on = sched_getcpu();
    if (callback_thread_id.load(std::memory_order_relaxed) == 0)
        adopt_callback_thread();
    move_audio(nframes);
    callback_timing_record(started, monotonic_ns(), started_on);
    return 0;
}

int buffer_size_callback(jack_nframes_t nframes, void *)
{
    audio_period.store(nframes, std::memory_order_relaxed);
    return 0;
}

int sample_rate_callback(jack_nframes_t nframes, void *)
{
    rate_gate_server_rate(nframes);
    return 0;
}

void shutdown_callback(void *)
{
    audio_server_gone.store(true, std::memory_order_release);
}

void audio_stop()
{
    if (jack_client == nullptr)
        return;
    audio_end_notes();
    audio_stopping.store(1, std::memory_order_release);
    // Without a server the ports are gone with it, and nothing plays.
    if (!audio_server_gone.load(std::memory_order_acquire)) {
        usleep(STOP_SILENCE_US);
        for (const PortSpec &port : PORTS)
            jack_port_disconnect(jack_client, *port.handle);
        jack_deactivate(jack_client);
        for (const PortSpec &port : PORTS)
            jack_port_unregister(jack_client, *port.handle);
    }
    close_client();
}

void audio_end_notes()
{
    // Without a server nothing sounds any more, and nobody would answer.
    if (jack_client == nullptr || audio_stopping.load(std::memory_order_acquire) != 0
        || audio_server_gone.load(std::memory_order_acquire))
        return;
    const std::uint32_t ticket = midi_request_silence();
    const long period_us = static_cast<long>(jack_get_buffer_size(jack_client)) * 1000000L / SERVER_RATE;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::microseconds(std::max(END_NOTES_PERIODS * period_us, END_NOTES_MIN_US));
    while (!midi_silence_done(ticket) && !audio_server_gone.load(std::memory_order_acquire)
           && std::chrono::steady_clock::now() < deadline)
        usleep(END_NOTES_POLL_US);
}
