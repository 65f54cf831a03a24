// The audio state in words, and the main thread's watch over the server.
//
// The watch is the only one who opens the JACK client and the only one who
// says what came of it. JACK's threads only raise flags (the server gone, a
// new rate), which the watch turns into states on its next look, every
// AUDIO_WATCH_MS. Without a client it looks for a server again, and joins one
// at 48000 Hz under the same name with the ports and connections the client
// had. Each change of the words is one line on stderr, "orvel: <words>".
#pragma once

#include "audio/jack_client.h"

#include <cstdint>
#include <string>
#include <vector>

enum class AudioState {
    starting,        // no look yet
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

class ServerWatch {
public:
    // Watches client, joining servers under name; with connect, the first
    // client is connected to the physical ports.
    ServerWatch(JackClient &client, std::string name, bool connect);

    // Main thread, at start-up and then every AUDIO_WATCH_MS; never from a
    // JACK thread. With a running client: opens the rate gate again on fresh
    // rings once the rate is right, reports the state, remembers the
    // connections and makes those still to be restored. After the server
    // went away: releases the dead client and looks for a server, as it does
    // every time while there is no client; a client that joins is connected
    // as the lost one was (or, if none ever ran, to the physical ports when
    // connect is set). libjack's complaints about a missing server are kept
    // off stderr meanwhile. Nothing once the client has stopped. Returns
    // whether a client runs now (at whatever rate).
    bool look();

    // The state as last reported. Main thread.
    AudioStatus status() const { return status_; }

    JackClient &client() { return client_; }

private:
    struct Connection {
        int port;           // JackPort
        std::string other;  // full name of the port at the other end
        bool operator==(const Connection &) const = default;
    };

    void report(AudioState state, std::uint32_t rate = 0);
    void remember_connections();
    void restore_connections();

    JackClient &client_;
    const std::string name_;
    const bool connect_;
    AudioStatus status_;
    std::string status_words_;
    bool client_ran_ = false;  // a client has run at SERVER_RATE: its connections are the ones to keep
    // Once the server is gone its connections cannot be asked for, so they
    // are taken down on every look while the client runs.
    std::vector<Connection> remembered_;  // as last seen, and those still to be restored
    std::vector<Connection> to_restore_;  // of a lost client, not yet made on the new one
};
