#include "support/jack_server.h"

#include "audio/server_presence.h"
#include "support/child_process.h"

#include <signal.h>
#include <dirent.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

// JACK keeps its servers in a registry of eight slots, and a server that dies
// without stopping (killed, or its test crashed) keeps its slot until a server
// of the same name starts. So tests reuse a few names, each held through a
// lock file for as long as a test uses it; the lock goes with the process.
constexpr int NAME_SLOTS = 6;

std::string fresh_name(const char *prefix)
{
    static int counter = 0;
    return std::string(prefix) + std::to_string(getpid()) + "-" + std::to_string(counter++);
}

// A server that died without stopping leaves its shared memory and its
// clients' semaphores behind, and a new server of the same name would pick
// the stale ones up. Only called for a name this process holds.
void remove_leftovers(const std::string &name)
{
    const std::string segments = "jack_" + name + "_";
    const std::string semaphores = "jack_sem." + std::to_string(getuid()) + "_" + name + "_";
    if (DIR *dir = opendir("/dev/shm")) {
        while (const dirent *entry = readdir(dir)) {
            const std::string file = entry->d_name;
            if (file.rfind(segments, 0) == 0 || file.rfind(semaphores, 0) == 0)
                unlink(("/dev/shm/" + file).c_str());
        }
        closedir(dir);
    }
}

// Takes a free test server name; returns the lock's descriptor, or -1.
int claim_server_name(std::string &name, int &slot)
{
    for (slot++; slot < NAME_SLOTS; slot++) {
        const std::string lock_path = "/tmp/orvel-test-jack-" + std::to_string(slot) + ".lock";
        const int fd = open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd < 0)
            continue;
        if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
            name = "orvel-test-" + std::to_string(slot);
            remove_leftovers(name);
            return fd;
        }
        close(fd);
    }
    return -1;
}

bool still_running(pid_t pid)
{
    int status;
    return waitpid(pid, &status, WNOHANG) == 0;
}

bool wait_for_exit(pid_t pid, int timeout_ms)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < deadline) {
        int status;
        if (waitpid(pid, &status, WNOHANG) == pid)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

}  // namespace

JackServer::JackServer(int rate, int capture_ports, int playback_ports, int period, bool real_time,
                       bool synchronous)
    : real_time_(real_time && real_time_allowed())
{
    // A slot may still be taken by a server nobody tracks; then jackd exits
    // at once and the next slot is tried.
    for (int slot = -1; !ready_;) {
        lock_fd_ = claim_server_name(name_, slot);
        if (lock_fd_ < 0)
            return;
        start(rate, capture_ports, playback_ports, period, synchronous);
        if (!ready_) {
            stop();
            close(lock_fd_);
            lock_fd_ = -1;
        }
    }
}

void JackServer::start(int rate, int capture_ports, int playback_ports, int period, bool synchronous)
{
    rate_ = rate;
    capture_ports_ = capture_ports;
    playback_ports_ = playback_ports;
    period_ = period;
    synchronous_ = synchronous;
    ready_ = false;
    setenv("JACK_DEFAULT_SERVER", name_.c_str(), 1);
    const std::string rate_arg = std::to_string(rate);
    const std::string period_arg = std::to_string(period);
    const std::string capture_arg = std::to_string(capture_ports);
    const std::string playback_arg = std::to_string(playback_ports);
    // Priority 70, as studio set-ups often choose: JACK then runs its
    // clients' threads at 65, above the system's threaded interrupts (50).
    std::vector<const char *> argv = {"jackd"};
    argv.reserve(32);  // room for every option at once
    if (real_time_)
        argv.insert(argv.end(), {"--realtime", "--realtime-priority=70"});
    else
        argv.push_back("--no-realtime");
    // A late client holds the cycle up to ten times the client timeout
    // before the server gives up on it: a sanitizer build's stalls fit.
    if (synchronous) {
        argv.push_back("--sync");
        argv.push_back("--timeout=1000");
    }
    argv.insert(argv.end(), {"-n", name_.c_str(), "-d", "dummy", "-r", rate_arg.c_str(), "-p", period_arg.c_str(),
                             "-C", capture_arg.c_str(), "-P", playback_arg.c_str(), nullptr});
    // The server's messages go to a file of the name's own, so a test can read
    // which client the server blamed for an xrun.
    const char *log = getenv("ORVEL_JACKD_LOG");
    log_path_ = log != nullptr ? log : "/tmp/" + name_ + ".log";
    if (log == nullptr)
        unlink(log_path_.c_str());
    pid_ = fork();
    if (pid_ == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlive a crashed test
        const int log_fd = open(log_path_.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        dup2(log_fd, STDOUT_FILENO);
        dup2(log_fd, STDERR_FILENO);
        execvp("jackd", const_cast<char **>(argv.data()));
        _exit(127);
    }
    const std::vector<std::string> env = {"JACK_DEFAULT_SERVER=" + name_};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (std::chrono::steady_clock::now() < deadline) {
        int status;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;  // jackd gave up: the name is taken or the registry is full
            return;
        }
        // jack_lsp is a libjack client: it waits for the socket as Orvel does.
        if (jack_server_may_listen(name_) && run_child("/usr/bin/jack_lsp", {}, env, 5000).exit_status == 0) {
            // Ours answered only if jackd is still there.
            ready_ = still_running(pid_);
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

JackServer::~JackServer()
{
    stop();
    if (lock_fd_ >= 0)
        close(lock_fd_);
}

void JackServer::stop()
{
    if (pid_ <= 0)
        return;
    ::kill(pid_, SIGTERM);
    if (!wait_for_exit(pid_, 5000)) {
        ::kill(pid_, SIGKILL);
        wait_for_exit(pid_, 5000);
    }
    pid_ = -1;
}

void JackServer::kill()
{
    if (pid_ <= 0)
        return;
    ::kill(pid_, SIGKILL);
    wait_for_exit(pid_, 5000);
    pid_ = -1;
    remove_leftovers(name_);
}

bool JackServer::restart(int rate)
{
    if (pid_ > 0 || lock_fd_ < 0)
        return false;
    start(rate != 0 ? rate : rate_, capture_ports_, playback_ports_, period_, synchronous_);
    return ready_;
}

void use_absent_server()
{
    setenv("JACK_DEFAULT_SERVER", fresh_name("orvel-absent-").c_str(), 1);
}

JackPeer::JackPeer(const std::string &name)
{
    client_ = jack_client_open(name.c_str(), JackNoStartServer, nullptr);
    if (client_ != nullptr) {
        jack_set_process_callback(client_, process_thunk, this);
        jack_set_xrun_callback(client_, xrun_thunk, this);
    }
}

JackPeer::~JackPeer()
{
    if (client_ != nullptr) {
        jack_deactivate(client_);
        jack_client_close(client_);
    }
}

jack_port_t *JackPeer::add_port(const char *name, const char *type, unsigned long flags)
{
    return jack_port_register(client_, name, type, flags, 0);
}

bool JackPeer::activate()
{
    return jack_activate(client_) == 0;
}

bool JackPeer::connect(const std::string &source, const std::string &destination)
{
    return jack_connect(client_, source.c_str(), destination.c_str()) == 0;
}

bool JackPeer::disconnect(const std::string &source, const std::string &destination)
{
    return jack_disconnect(client_, source.c_str(), destination.c_str()) == 0;
}

std::vector<std::string> JackPeer::connections(const std::string &port) const
{
    std::vector<std::string> names;
    jack_port_t *handle = jack_port_by_name(client_, port.c_str());
    if (handle == nullptr)
        return names;
    if (const char **list = jack_port_get_all_connections(client_, handle)) {
        for (const char **entry = list; *entry != nullptr; entry++)
            names.emplace_back(*entry);
        jack_free(list);
    }
    return names;
}

bool JackPeer::port_exists(const std::string &port) const
{
    return jack_port_by_name(client_, port.c_str()) != nullptr;
}

std::vector<std::string> JackPeer::ports_with_prefix(const std::string &prefix) const
{
    std::vector<std::string> names;
    if (const char **list = jack_get_ports(client_, nullptr, nullptr, 0)) {
        for (const char **entry = list; *entry != nullptr; entry++)
            if (std::string(*entry).rfind(prefix, 0) == 0)
                names.emplace_back(*entry);
        jack_free(list);
    }
    return names;
}

int JackPeer::process_thunk(jack_nframes_t nframes, void *self)
{
    auto *peer = static_cast<JackPeer *>(self);
    if (peer->process)
        peer->process(nframes);
    return 0;
}

int JackPeer::xrun_thunk(void *self)
{
    static_cast<JackPeer *>(self)->xruns.fetch_add(1);
    return 0;
}

DelayLine::DelayLine(const std::string &name, std::size_t frames)
    : line_(frames, 0.0f), peer(name)
{
    if (!peer.ok())
        return;
    in_ = peer.add_port("in", JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput);
    out_ = peer.add_port("out", JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput);
    peer.process = [this](jack_nframes_t nframes) {
        const auto *src = static_cast<const float *>(jack_port_get_buffer(in_, nframes));
        auto *dst = static_cast<float *>(jack_port_get_buffer(out_, nframes));
        for (jack_nframes_t f = 0; f < nframes; f++) {
            dst[f] = line_[pos_];
            line_[pos_] = src[f];
            pos_ = (pos_ + 1) % line_.size();
        }
    };
    active_ = in_ != nullptr && out_ != nullptr && peer.activate();
}

std::string JackServer::output() const
{
    std::ifstream file(log_path_);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

bool real_time_allowed()
{
    // Tried in a child, so this process keeps its own scheduling.
    const pid_t child = fork();
    if (child == 0) {
        const sched_param param = {1};
        _exit(sched_setscheduler(0, SCHED_FIFO, &param) == 0 ? 0 : 1);
    }
    int status = 0;
    return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}
