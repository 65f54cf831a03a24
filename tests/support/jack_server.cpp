#include "support/jack_server.h"

#include "support/child_process.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <thread>

namespace {

std::string fresh_name(const char *prefix)
{
    static int counter = 0;
    return std::string(prefix) + std::to_string(getpid()) + "-" + std::to_string(counter++);
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

JackServer::JackServer(int rate, int capture_ports, int playback_ports, int period)
    : name_(fresh_name("orvel-test-"))
{
    setenv("JACK_DEFAULT_SERVER", name_.c_str(), 1);
    const std::string rate_arg = std::to_string(rate);
    const std::string period_arg = std::to_string(period);
    const std::string capture_arg = std::to_string(capture_ports);
    const std::string playback_arg = std::to_string(playback_ports);
    const char *argv[] = {"jackd", "--no-realtime", "-n", name_.c_str(), "-d", "dummy",
                          "-r", rate_arg.c_str(), "-p", period_arg.c_str(),
                          "-C", capture_arg.c_str(), "-P", playback_arg.c_str(), nullptr};
    pid_ = fork();
    if (pid_ == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlive a crashed test
        const int null_fd = open("/dev/null", O_WRONLY);
        dup2(null_fd, STDOUT_FILENO);
        dup2(null_fd, STDERR_FILENO);
        execvp("jackd", const_cast<char **>(argv));
        _exit(127);
    }
    const std::vector<std::string> env = {"JACK_DEFAULT_SERVER=" + name_};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (std::chrono::steady_clock::now() < deadline) {
        if (run_child("/usr/bin/jack_lsp", {}, env, 5000).exit_status == 0) {
            ready_ = true;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

JackServer::~JackServer()
{
    stop();
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
