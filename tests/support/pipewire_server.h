// A private PipeWire for tests, as a desktop runs it: pipewire with
// WirePlumber, in runtime, configuration and state directories of its own
// (a temporary directory, removed at the end), with a null sink in place of
// a sound card and no session bus. JACK clients reach it through PipeWire's
// libjack (pipewire_jack_dir()), which finds it through PIPEWIRE_RUNTIME_DIR.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// Where Debian keeps PipeWire's libjack (what pw-jack puts first on
// LD_LIBRARY_PATH); empty when pipewire-jack is not installed.
std::string pipewire_jack_dir();

// Whether this process runs on PipeWire's libjack: the file libjack's
// jack_client_open came from is under pipewire_jack_dir().
bool on_pipewire_libjack();

// Whether the process pid has PipeWire's libjack mapped (/proc/pid/maps).
bool maps_pipewire_libjack(pid_t pid);

class PipeWireServer {
public:
    // Starts pipewire, then WirePlumber, with the graph at rate and quantum
    // (frames per cycle, also the smallest the graph may choose); waits,
    // within a generous limit, until a JACK client sees the sink's ports.
    // Sets PIPEWIRE_RUNTIME_DIR for this process and clears PIPEWIRE_REMOTE
    // and JACK_DEFAULT_SERVER, so clients of this process and its children find
    // this server. Main thread.
    explicit PipeWireServer(int rate = 48000, int quantum = 256);
    // stop(), then the temporary directory goes.
    ~PipeWireServer();
    PipeWireServer(const PipeWireServer &) = delete;
    PipeWireServer &operator=(const PipeWireServer &) = delete;

    bool running() const { return ready_; }
    // The sink's JACK playback ports, as Orvel's outputs find them.
    static constexpr const char *SINK_PORT_1 = "orvel-test-sink:playback_FL";
    static constexpr const char *SINK_PORT_2 = "orvel-test-sink:playback_FR";

    // Sets key to value in the "settings" metadata, as
    // `pw-metadata -n settings 0 key value` does (clock.force-rate: the
    // graph's rate, 0 to let go). Returns whether pw-metadata succeeded.
    bool set_setting(const std::string &key, const std::string &value) const;

    // What pipewire and WirePlumber printed so far.
    std::string output() const;

    // SIGTERM to WirePlumber, then to pipewire, each waited for (SIGKILL
    // if it lingers). Idempotent.
    void stop();

private:
    pid_t spawn(const std::vector<std::string> &argv, const std::string &log_name) const;
    bool jack_sees_sink() const;

    std::string dir_;                // temporary, ours alone: run/, config/, state/, home/, logs
    std::vector<std::string> env_;   // the daemons' and tools' environment, "NAME=value"
    pid_t pipewire_ = -1;
    pid_t wireplumber_ = -1;
    bool ready_ = false;
};
