// A program under test running in the background (as start_background_child
// starts it), its stderr kept in a file of a temporary directory of its own,
// and waits on what it says there.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

// Far longer than the program needs for any step on an idle machine, for a
// loaded machine or a sanitizer build.
constexpr std::chrono::milliseconds PROGRAM_LIMIT{10000};

// Polls done every 20 ms until it holds; false once limit has passed.
bool wait_for(const std::function<bool()> &done, std::chrono::milliseconds limit);

// How often line occurs in text.
int count_of(const std::string &text, const std::string &line);

class BackgroundProgram {
public:
    // Starts program with args, with extra "NAME=value" environment entries
    // on top of the headless environment (child_process.h).
    BackgroundProgram(const std::string &program, const std::vector<std::string> &extra_env,
                      const std::vector<std::string> &args = {});
    // SIGKILL if it still runs; the stderr file and its directory go.
    ~BackgroundProgram();
    BackgroundProgram(const BackgroundProgram &) = delete;
    BackgroundProgram &operator=(const BackgroundProgram &) = delete;

    // Everything it wrote on stderr so far.
    std::string err() const;
    // Waits until stderr holds the line "orvel: <line>" at least times times;
    // false after PROGRAM_LIMIT.
    bool says(const std::string &line, int times = 1) const;
    // Waits until it has ended, up to limit: its status as wait_child_exit
    // gives it (-1 while still running). Once ended, the same status again.
    int exit_status(std::chrono::milliseconds limit);
    // SIGTERM, then its status (as exit_status, within PROGRAM_LIMIT).
    int close();

    pid_t pid() const { return pid_; }

private:
    std::string dir_;       // temporary, the program's alone
    std::string err_path_;  // its stderr, in dir_
    pid_t pid_;
    bool ended_ = false;    // reaped: pid_ is no longer ours
    int status_ = -1;       // as wait_child_exit gave it once ended
};
