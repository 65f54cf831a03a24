// The JACK client: opens "orvel" on a server at 48000 Hz, registers its six
// ports, connects the audio ports to the first physical ports, and runs the
// real-time process callback that moves audio through the sample rings and
// queued MIDI messages out of the MIDI port.
//
// States: not connected (jack_client null) -> running -> stopping
// (audio_stopping set: the callback plays silence) -> closed. While running,
// a rate other than 48000 Hz shuts the rate gate (rate_gate.h): silence, and
// nothing for the analysis. A server that goes away leaves a dead client,
// which the main thread's watch (server_watch.h) releases before it joins
// the next server: not connected again.
#pragma once

#include <jack/jack.h>

#include <atomic>

extern jack_client_t *jack_client;  // main thread; null while not connected
extern jack_port_t *port_input_1;
extern jack_port_t *port_input_2;
extern jack_port_t *port_output_1;
extern jack_port_t *port_output_2;
extern jack_port_t *port_input_midi;
extern jack_port_t *port_output_midi;

// Set once by audio_stop, read by the process callback without a lock.
// Release/acquire: the callback that sees it no longer touches the rings.
extern std::atomic<int> audio_stopping;

// Set by the shutdown callback when the server went away: the client's ports
// must not be touched any more. Release/acquire, for the same reason.
extern std::atomic<bool> audio_server_gone;

// Frames per period, as the server last said (buffer-size callback); 0
// before the first client. Relaxed: a display value, ordered with nothing.
extern std::atomic<jack_nframes_t> audio_period;

// Open the client under name with JackNoStartServer (never starting a
// server, and not calling libjack at all while no server answers on its
// socket: server_presence.h), register the callbacks and ports, restart the
// exchange on fresh rings (rate_gate_restart), activate, and with connect set
// connect the audio ports to the first physical ports. Returns true on
// failure (no server, a rate other than 48000 Hz, a port or activation
// failure); the client is then closed again. Reports the outcome as the
// audio state (server_watch.h). Main thread.
bool audio_open(const char *name, bool connect);

// Main thread, once the server went away (audio_server_gone): close the dead
// client, so that audio_open can join the next server. Nothing otherwise.
void audio_release_lost_client();

// Real-time thread. Copies the inputs to the outputs, hands them to
// exchange_samples, and writes the MIDI words due in the period at their
// frames (midi_take_due). Allocates nothing and takes no lock; counts its own
// duration (callback_timing.h). On its first call it records its thread and
// raises it, unless JACK already runs it under a real-time policy.
int process_callback(jack_nframes_t nframes, void *);
// JACK's own threads, never the real-time one. They only store what the
// server said: the period, the rate (which moves the rate gate), and that the
// server went away; the main thread's watch acts on it.
int buffer_size_callback(jack_nframes_t nframes, void *);
int sample_rate_callback(jack_nframes_t nframes, void *);
void shutdown_callback(void *);

// Main thread, from the window's close. Ends the sounding notes
// (audio_end_notes), plays 100 ms of silence, takes the ports down and
// closes the client. Does nothing without a client; after the
// server went away it only releases the client.
void audio_stop();

// Toolkit thread: closing, "Toggle Record" off. Has the process callback send
// a note-off for every sounding note and drop the queued MIDI words, and waits
// for it to say so: a few periods at most (at least 100 ms), so a stalled
// server cannot hold the window. Returns at once without a client, once
// stopping, or when the server has gone (its ports went with it).
void audio_end_notes();
