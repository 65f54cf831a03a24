// A private JACK server for tests: jackd with the dummy driver under a name of
// its own, and a small client to talk to it and to Orvel through real ports.
#pragma once

#include <jack/jack.h>
#include <sys/types.h>

#include <atomic>
#include <functional>
#include <string>
#include <vector>

class JackServer {
public:
    // Starts jackd and waits until its socket and then jack_lsp answer; sets JACK_DEFAULT_SERVER
    // for this process so clients find it. With real_time, the server runs
    // its threads under SCHED_FIFO where the system allows it (real_time()
    // tells), as a studio server does; otherwise it needs no rights. With
    // synchronous, each cycle waits for every client to finish (jackd
    // --sync), so a client that runs late delays the cycle instead of
    // missing it: what a reader gets is exactly what was written for that
    // cycle, whatever the machine's load.
    explicit JackServer(int rate = 48000, int capture_ports = 2, int playback_ports = 2,
                        int period = 256, bool real_time = false, bool synchronous = false);
    ~JackServer();

    bool running() const { return ready_; }
    const std::string &name() const { return name_; }
    pid_t pid() const { return pid_; }
    bool real_time() const { return real_time_; }
    // Everything the server printed so far.
    std::string output() const;

    void stop();  // SIGTERM, then SIGKILL if it lingers
    void kill();  // SIGKILL: the server vanishes under its clients
    // After stop() or kill(): the same server again under the same name, at
    // rate (0: as before). Returns running().
    bool restart(int rate = 0);

private:
    void start(int rate, int capture_ports, int playback_ports, int period, bool synchronous);

    std::string name_;
    pid_t pid_ = -1;
    int lock_fd_ = -1;  // holds the name for this process
    bool ready_ = false;
    bool real_time_ = false;
    int rate_ = 48000, capture_ports_ = 2, playback_ports_ = 2, period_ = 256;
    bool synchronous_ = false;
    std::string log_path_;
};

// Whether this process may run threads under SCHED_FIFO.
bool real_time_allowed();

// Points clients at a server name nobody runs.
void use_absent_server();

// A test's own JACK client with a process function.
class JackPeer {
public:
    explicit JackPeer(const std::string &name);
    ~JackPeer();

    bool ok() const { return client_ != nullptr; }
    jack_client_t *client() const { return client_; }

    jack_port_t *add_port(const char *name, const char *type, unsigned long flags);
    // Runs on the server's thread each period; set before activate().
    std::function<void(jack_nframes_t)> process;
    bool activate();
    bool connect(const std::string &source, const std::string &destination);
    bool disconnect(const std::string &source, const std::string &destination);

    // Full names of the ports connected to the named port; empty when the
    // port does not exist.
    std::vector<std::string> connections(const std::string &port) const;
    bool port_exists(const std::string &port) const;
    // Names of all ports whose full name starts with prefix.
    std::vector<std::string> ports_with_prefix(const std::string &prefix) const;

    std::atomic<int> xruns{0};

private:
    static int process_thunk(jack_nframes_t nframes, void *self);
    static int xrun_thunk(void *self);
    jack_client_t *client_ = nullptr;
};

// A test client that plays on its "out" port what reached its "in" port
// frames frames earlier: a path of known delay. Active once constructed.
class DelayLine {
private:
    std::vector<float> line_;
    std::size_t pos_ = 0;
    jack_port_t *in_ = nullptr;
    jack_port_t *out_ = nullptr;
    bool active_ = false;

public:
    DelayLine(const std::string &name, std::size_t frames);

    bool ok() const { return active_; }
    // Declared last, so its client closes before the line it plays from goes.
    JackPeer peer;
};
