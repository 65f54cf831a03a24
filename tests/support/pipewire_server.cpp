#include "support/pipewire_server.h"

#include "support/background_program.h"
#include "support/child_process.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <jack/jack.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#ifndef ORVEL_PIPEWIRE_JACK_DIR
#define ORVEL_PIPEWIRE_JACK_DIR ""
#endif

namespace {

// PipeWire takes a second or two to start on an idle machine; a loaded one
// or a sanitizer build gets ten times that.
constexpr auto START_LIMIT = std::chrono::seconds(30);
constexpr int STOP_LIMIT_MS = 5000;

// The graph at the test's rate and quantum, whatever PipeWire would choose
// on this machine (in a virtual machine it raises the smallest quantum to
// 1024), and a null sink that WirePlumber gives ports, as it would a sound
// card's.
std::string pipewire_drop_in(int rate, int quantum)
{
    const std::string r = std::to_string(rate);
    const std::string q = std::to_string(quantum);
    return "context.properties = {\n"
           "    default.clock.rate = " + r + "\n"
           "    default.clock.allowed-rates = [ " + r + " ]\n"
           "    default.clock.quantum = " + q + "\n"
           "    default.clock.min-quantum = " + q + "\n"
           "    vm.overrides = { default.clock.min-quantum = " + q + " }\n"
           "}\n"
           "context.objects = [\n"
           "    { factory = adapter\n"
           "        args = {\n"
           "            factory.name   = support.null-audio-sink\n"
           "            node.name      = orvel-test-sink\n"
           "            media.class    = Audio/Sink\n"
           "            audio.position = [ FL FR ]\n"
           "        }\n"
           "    }\n"
           "]\n";
}

// Device reservation and the portal's permission store are the only parts
// of WirePlumber that need a session bus; without one it gives up.
constexpr const char *WIREPLUMBER_DROP_IN =
    "alsa_monitor.properties[\"alsa.reserve\"] = false\n"
    "default_access.properties[\"enable-flatpak-portal\"] = false\n";

bool write_file(const std::string &path, const std::string &text)
{
    std::ofstream file(path);
    file << text;
    return static_cast<bool>(file);
}

std::string made_temporary_dir()
{
    char pattern[] = "/tmp/orvel-pipewire-XXXXXX";
    const char *made = mkdtemp(pattern);  // mode 0700, as PipeWire wants its runtime directory
    return made != nullptr ? made : "";
}

// This process's environment without the entries that would lead the
// daemons to the user's session (bus, display, runtime and configuration
// directories), then ours.
std::vector<std::string> daemon_environment(const std::string &dir)
{
    static const char *const replaced[] = {
        "XDG_RUNTIME_DIR", "PIPEWIRE_RUNTIME_DIR", "XDG_CONFIG_HOME", "XDG_STATE_HOME", "XDG_DATA_HOME",
        "HOME", "DBUS_SESSION_BUS_ADDRESS", "DISPLAY", "WAYLAND_DISPLAY", "PIPEWIRE_REMOTE",
        "JACK_DEFAULT_SERVER", "LD_LIBRARY_PATH",
    };
    std::vector<std::string> env;
    for (char **entry = environ; *entry != nullptr; entry++) {
        const std::string text = *entry;
        const std::string name = text.substr(0, text.find('='));
        bool keep = true;
        for (const char *r : replaced)
            keep = keep && name != r;
        if (keep)
            env.push_back(text);
    }
    env.insert(env.end(), {"XDG_RUNTIME_DIR=" + dir + "/run", "PIPEWIRE_RUNTIME_DIR=" + dir + "/run",
                           "XDG_CONFIG_HOME=" + dir + "/config", "XDG_STATE_HOME=" + dir + "/state",
                           "XDG_DATA_HOME=" + dir + "/data", "HOME=" + dir + "/home"});
    return env;
}

void end_process(pid_t pid)
{
    if (pid <= 0)
        return;
    kill(pid, SIGTERM);
    if (wait_child_exit(pid, STOP_LIMIT_MS) == -1) {
        kill(pid, SIGKILL);
        wait_child_exit(pid, STOP_LIMIT_MS);
    }
}

}  // namespace

std::string pipewire_jack_dir()
{
    return ORVEL_PIPEWIRE_JACK_DIR;
}

bool on_pipewire_libjack()
{
    Dl_info info{};
    const std::string dir = pipewire_jack_dir();
    return !dir.empty() && dladdr(reinterpret_cast<void *>(&jack_client_open), &info) != 0
           && info.dli_fname != nullptr && std::string(info.dli_fname).rfind(dir + "/", 0) == 0;
}

bool maps_pipewire_libjack(pid_t pid)
{
    std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
    const std::string dir = pipewire_jack_dir();
    std::string line;
    while (std::getline(maps, line))
        if (!dir.empty() && line.find(dir + "/libjack.so") != std::string::npos)
            return true;
    return false;
}

PipeWireServer::PipeWireServer(int rate, int quantum) : dir_(made_temporary_dir())
{
    if (dir_.empty())
        return;
    for (const char *sub : {"/run", "/config", "/config/pipewire", "/config/pipewire/pipewire.conf.d",
                            "/config/wireplumber", "/config/wireplumber/main.lua.d", "/state", "/data", "/home"})
        mkdir((dir_ + sub).c_str(), 0700);
    if (!write_file(dir_ + "/config/pipewire/pipewire.conf.d/orvel-test.conf", pipewire_drop_in(rate, quantum))
        || !write_file(dir_ + "/config/wireplumber/main.lua.d/51-orvel-test.lua", WIREPLUMBER_DROP_IN))
        return;
    env_ = daemon_environment(dir_);
    setenv("PIPEWIRE_RUNTIME_DIR", (dir_ + "/run").c_str(), 1);
    unsetenv("PIPEWIRE_REMOTE");
    unsetenv("JACK_DEFAULT_SERVER");

    // One bound for the whole start.
    const auto deadline = std::chrono::steady_clock::now() + START_LIMIT;
    const auto left = [&] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    };
    pipewire_ = spawn({"/usr/bin/pipewire"}, "pipewire.log");
    // WirePlumber gives up when it finds no pipewire to talk to.
    if (!wait_for([&] { return access((dir_ + "/run/pipewire-0").c_str(), F_OK) == 0; }, left()))
        return;
    wireplumber_ = spawn({"/usr/bin/wireplumber"}, "wireplumber.log");
    ready_ = wait_for([&] { return jack_sees_sink(); }, left());
}

PipeWireServer::~PipeWireServer()
{
    stop();
    if (!dir_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
}

void PipeWireServer::stop()
{
    end_process(wireplumber_);
    wireplumber_ = -1;
    end_process(pipewire_);
    pipewire_ = -1;
    ready_ = false;
}

pid_t PipeWireServer::spawn(const std::vector<std::string> &argv, const std::string &log_name) const
{
    // Built before fork: a threaded parent may only make async-signal-safe
    // calls in the child.
    std::vector<char *> args;
    for (const std::string &arg : argv)
        args.push_back(const_cast<char *>(arg.c_str()));
    args.push_back(nullptr);
    std::vector<char *> envp;
    for (const std::string &entry : env_)
        envp.push_back(const_cast<char *>(entry.c_str()));
    envp.push_back(nullptr);
    const std::string log_path = dir_ + "/" + log_name;
    const pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlive a crashed test
        const int log_fd = open(log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        dup2(log_fd, STDOUT_FILENO);
        dup2(log_fd, STDERR_FILENO);
        execve(args[0], args.data(), envp.data());
        _exit(127);
    }
    return pid;
}

bool PipeWireServer::jack_sees_sink() const
{
    std::vector<std::string> env = env_;
    env.push_back("LD_LIBRARY_PATH=" + pipewire_jack_dir());
    const ChildResult listed = run_child("/usr/bin/jack_lsp", {}, env, 5000);
    return listed.exit_status == 0 && listed.out.find(SINK_PORT_1) != std::string::npos;
}

bool PipeWireServer::set_setting(const std::string &key, const std::string &value) const
{
    return run_child("/usr/bin/pw-metadata", {"-n", "settings", "0", key, value}, env_, 10000).exit_status == 0;
}

std::string PipeWireServer::output() const
{
    std::ostringstream text;
    for (const char *log : {"pipewire.log", "wireplumber.log"}) {
        std::ifstream file(dir_ + "/" + log);
        text << log << ":\n" << file.rdbuf();
    }
    return text.str();
}
