// The JACK client: opens "orvel" (or another name) on a server at 48000 Hz,
// registers its six ports, connects the audio ports to the first physical
// ports, and runs the real-time process callback that moves audio through
// its SampleExchange (which feeds the analysis and is fed by the generator)
// and queued MIDI messages out of the MIDI port. JACK's C callbacks reach the
// object through their argument pointer.
//
// States: not connected (no client) -> running -> stopping (stop() has
// begun: the callback plays silence) -> closed. While running, a rate other
// than 48000 Hz shuts the rate gate: silence, and nothing for the analysis.
// A server that goes away leaves a dead client, which the server watch
// (server_watch.h) releases before it joins the next server: not connected
// again. The client and its ports belong to the main thread.
#pragma once

#include "audio/callback_timing.h"
#include "audio/midi_output.h"
#include "audio/rate_conversion.h"
#include "audio/rate_gate.h"

#include <jack/jack.h>

#include <atomic>
#include <cstdint>

// What an attempt to open the client came to.
enum class OpenOutcome {
    joined,      // the client runs at SERVER_RATE
    no_server,   // no server answered under the name
    wrong_rate,  // the server runs at another rate (the client was closed again)
    refused,     // the server took the client but not its ports or activation
};

struct OpenResult {
    OpenOutcome outcome;
    std::uint32_t rate;  // Hz, for joined and wrong_rate
};

// The client's ports, by role.
enum JackPort : int {
    PORT_INPUT_1,
    PORT_INPUT_2,
    PORT_OUTPUT_1,
    PORT_OUTPUT_2,
    PORT_INPUT_MIDI,
    PORT_OUTPUT_MIDI,
    PORT_COUNT,
};

class JackClient {
public:
    explicit JackClient(SampleExchange &exchange);
    ~JackClient();  // stop()s
    JackClient(const JackClient &) = delete;
    JackClient &operator=(const JackClient &) = delete;

    // Open the client under name with JackNoStartServer (never starting a
    // server, and not calling libjack at all while no server answers on its
    // socket: server_presence.h), register the callbacks and ports, restart
    // the exchange on fresh rings (RateGate::restart), activate, and with
    // connect set connect the audio ports to the first physical ports. On any
    // outcome but joined the client is closed again. Reports nothing: the
    // server watch says what came of it. Main thread.
    OpenResult open(const char *name, bool connect);

    // Main thread, once the server went away (server_gone()): close the
    // dead client, so that open can join the next server. Nothing otherwise.
    void release_lost_client();

    // Main thread, from the window's close. Ends the sounding notes
    // (end_notes), plays 100 ms of silence, takes the ports down and closes
    // the client. Does nothing without a client; after the server went away
    // it only releases the client.
    void stop();

    // Main thread: from the next period the callback plays silence, sends no
    // MIDI and leaves the rings alone, for good; stop() begins with it.
    void begin_stopping() { stopping_.store(true, std::memory_order_release); }

    // Toolkit thread: closing, "Toggle Record" off. Has the process callback
    // send a note-off for every sounding note and drop the queued MIDI words,
    // and waits for it to say so: a few periods at most (at least 100 ms), so
    // a stalled server cannot hold the window. Returns at once without a
    // client, once stopping, or when the server has gone (its ports went with
    // it).
    void end_notes();

    // ---- main thread ----
    jack_client_t *handle() const { return client_; }  // null while not connected
    jack_port_t *port(JackPort which) const { return ports_[which]; }

    // Set once by stop(), read by the process callback without a lock.
    // Release/acquire: the callback that sees it no longer touches the rings.
    bool stopping() const { return stopping_.load(std::memory_order_acquire); }
    // Set by the shutdown callback when the server went away: the client's
    // ports must not be touched any more. Release/acquire, for the same reason.
    bool server_gone() const { return server_gone_.load(std::memory_order_acquire); }
    // Frames per period, as the server last said; 0 before the first client.
    // Relaxed: a display value, ordered with nothing.
    std::uint32_t period() const { return period_.load(std::memory_order_relaxed); }

    SampleExchange &exchange() { return exchange_; }
    RateGate &rate_gate() { return rate_gate_; }
    MidiOutput &midi() { return midi_; }
    const CallbackTiming &timing() const { return timing_; }

private:
    // Real-time thread. Copies the inputs to the outputs, hands them to the
    // exchange, and writes the MIDI words due in the period at their frames
    // (MidiOutput::take_due). Allocates nothing and takes no lock; counts its
    // own duration. On its first call it records its thread and raises it,
    // unless JACK already runs it under a real-time policy.
    static int process_callback(jack_nframes_t nframes, void *self);
    // JACK's own threads, never the real-time one. They only store what the
    // server said: the period, the rate (which moves the rate gate), and
    // that the server went away; the main thread's watch acts on it.
    static int buffer_size_callback(jack_nframes_t nframes, void *self);
    static int sample_rate_callback(jack_nframes_t nframes, void *self);
    static void shutdown_callback(void *self);

    void move_audio(jack_nframes_t nframes);
    void adopt_callback_thread();
    void connect_physical_ports();
    void close_client();
    OpenResult fail_open(OpenResult result);

    SampleExchange &exchange_;
    RateGate rate_gate_;
    MidiOutput midi_;
    CallbackTiming timing_;
    jack_client_t *client_ = nullptr;     // main thread; null while not connected
    jack_port_t *ports_[PORT_COUNT] = {};  // main thread; the callback reads them while running
    std::atomic<bool> stopping_{false};
    std::atomic<bool> server_gone_{false};
    std::atomic<std::uint32_t> period_{0};
};
