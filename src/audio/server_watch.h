// The audio state in words, and the main thread's watch over the server.
//
// The state belongs to the main thread. audio_open reports each outcome;
// JACK's threads only raise flags (the server gone, a new rate), which
// audio_watch turns into states on its next look, every AUDIO_WATCH_MS.
// Without a client the watch looks for a server again, and joins one at
// 48000 Hz under the same name with the ports and connections the client had.
// Each change of the words is one line on stderr, "orvel: <words>".
#pragma once

#include <cstdint>
#include <string>

enum class AudioState {
    starting,        // audio_open not tried yet
    running,         // the client runs at SERVER_RATE
    no_server,       // no server answered under the name
    wrong_rate,      // the server runs at another rate: silence, no analysis
    server_stopped,  // the server went away under the client; looking for it
    refused,         // the server took the client but not its ports or activation
};

struct AudioStatus {
    AudioState state = AudioState::starting;
    std::uint32_t rate = 0;    // Hz, for running and wrong_rate
    std::uint32_t period = 0;  // frames, for running
};

// A second between looks: a restarted server is joined within two.
constexpr int AUDIO_WATCH_MS = 1000;

// The words for status: "JACK 48000 Hz, 256 frames", "No JACK server",
// "JACK runs at 44100 Hz; Orvel needs 48000 Hz", "JACK server stopped;
// waiting for it", ... Pure.
std::string audio_status_text(const AudioStatus &status);

// The state as last reported. Main thread.
AudioStatus audio_status();

// Main thread: the audio side is now in state (rate in Hz for running and
// wrong_rate; running takes the period from audio_period). Prints one line on
// stderr when the words change. While waiting for a server that stopped, no
// server answering is no news: the state stays server_stopped.
void audio_report(AudioState state, std::uint32_t rate = 0);

// Main thread, every AUDIO_WATCH_MS once start-up has tried audio_open with
// the same name and connect; never from a JACK thread. With a running client:
// opens the rate gate again on fresh rings once the rate is right, reports
// the state, remembers the connections and makes those still to be restored.
// After the server went away: releases the dead client and looks for a
// server, as it does every time while there is no client; a client that
// joins is connected as the lost one was (or, if none ever ran, to the
// physical ports when connect is set). libjack's complaints about a missing
// server are kept off stderr meanwhile. Nothing once audio_stop has run.
void audio_watch(const char *name, bool connect);
