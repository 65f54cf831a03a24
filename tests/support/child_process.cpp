#include "support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

namespace {

// execve's environment: extra entries (which must outlive the call) ahead
// of this process's own, so they win.
std::vector<char *> child_environment(const std::vector<std::string> &extra)
{
    std::vector<char *> envp;
    for (const std::string &entry : extra)
        envp.push_back(const_cast<char *>(entry.c_str()));
    for (char **entry = environ; *entry != nullptr; entry++)
        envp.push_back(*entry);
    envp.push_back(nullptr);
    return envp;
}

}  // namespace

ChildResult run_child(const std::string &program, const std::vector<std::string> &args,
                      const std::vector<std::string> &extra_env, int timeout_ms)
{
    ChildResult result;
    int out_pipe[2];
    int err_pipe[2];
    if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0)
        return result;

    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(program.c_str()));
    for (const std::string &arg : args)
        argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(nullptr);
    std::vector<char *> envp = child_environment(extra_env);

    // Spawned, not forked: a fork stops every thread of this process while
    // it copies the address space, tens of milliseconds under
    // ThreadSanitizer, and the JACK clients a test runs here would miss
    // their cycles. posix_spawn shares the memory until the exec.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out_pipe[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err_pipe[1], STDERR_FILENO);
    for (int fd : {out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]})
        posix_spawn_file_actions_addclose(&actions, fd);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(out_pipe[1]);
    close(err_pipe[1]);
    if (spawned != 0) {
        close(out_pipe[0]);
        close(err_pipe[0]);
        return result;
    }

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    std::string *sinks[2] = {&result.out, &result.err};
    int open_fds = 2;
    bool timed_out = false;
    while (open_fds > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            timed_out = true;
            break;
        }
        if (poll(fds, 2, static_cast<int>(left.count())) <= 0)
            continue;
        for (int i = 0; i < 2; i++) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            char buffer[4096];
            const ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
            if (got > 0) {
                sinks[i]->append(buffer, static_cast<size_t>(got));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                open_fds--;
            }
        }
    }
    if (timed_out)
        kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    for (pollfd &fd : fds)
        if (fd.fd >= 0)
            close(fd.fd);
    if (!timed_out && WIFEXITED(status))
        result.exit_status = WEXITSTATUS(status);
    return result;
}

std::vector<std::string> headless_env()
{
    static std::string runtime_dir = [] {
        char pattern[] = "/tmp/orvel-test-XXXXXX";
        const char *made = mkdtemp(pattern);  // mode 0700, as the toolkit wants
        return std::string(made != nullptr ? made : "/tmp");
    }();
    return {"QT_QPA_PLATFORM=offscreen", "XDG_RUNTIME_DIR=" + runtime_dir};
}

pid_t start_background_child(const std::string &program, const std::vector<std::string> &extra_env,
                             const std::string &stderr_path, const std::vector<std::string> &args)
{
    std::vector<std::string> env = headless_env();
    env.insert(env.end(), extra_env.begin(), extra_env.end());
    std::vector<char *> envp = child_environment(env);
    std::vector<char *> argv = {const_cast<char *>(program.c_str())};
    for (const std::string &arg : args)
        argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        if (!stderr_path.empty()) {
            const int fd = open(stderr_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(fd, STDERR_FILENO);
        }
        execve(program.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    return pid;
}

int wait_child_exit(pid_t pid, int timeout_ms)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < deadline) {
        int status;
        if (waitpid(pid, &status, WNOHANG) == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        usleep(10000);
    }
    return -1;
}
