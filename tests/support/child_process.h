// Runs a program as a child process and collects what it printed.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

struct ChildResult {
    int exit_status = -1;   // exit code, or -1 when the child did not exit normally
    std::string out;        // everything written to standard output
    std::string err;        // everything written to standard error
};

// Runs program with args (argv[0] is the program itself) and extra
// "NAME=value" environment entries on top of this process's environment.
// Kills the child and reports exit_status -1 after timeout_ms, or when the
// program cannot be started.
ChildResult run_child(const std::string &program, const std::vector<std::string> &args,
                      const std::vector<std::string> &extra_env, int timeout_ms = 20000);

// Environment for running the program without a display: the offscreen
// platform and a private runtime directory, so the toolkit prints nothing
// of its own on standard error.
std::vector<std::string> headless_env();

// Starts program with args (after argv[0]) in the background, its output
// going where ours goes (standard error into the file stderr_path instead,
// when given), with extra "NAME=value" entries on top of headless_env() and
// this process's environment. Returns the child's pid.
pid_t start_background_child(const std::string &program, const std::vector<std::string> &extra_env,
                             const std::string &stderr_path = {}, const std::vector<std::string> &args = {});

// The child's exit status (128 + signal when killed), or -1 if it is still
// running after timeout_ms.
int wait_child_exit(pid_t pid, int timeout_ms);
