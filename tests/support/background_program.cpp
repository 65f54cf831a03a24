#include "support/background_program.h"

#include "support/child_process.h"

#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <thread>

bool wait_for(const std::function<bool()> &done, std::chrono::milliseconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

int count_of(const std::string &text, const std::string &line)
{
    int n = 0;
    for (std::size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1))
        n++;
    return n;
}

namespace {

std::string made_temporary_dir()
{
    char pattern[] = "/tmp/orvel-program-XXXXXX";
    const char *made = mkdtemp(pattern);
    return made != nullptr ? made : "";
}

}  // namespace

BackgroundProgram::BackgroundProgram(const std::string &program, const std::vector<std::string> &extra_env,
                                     const std::vector<std::string> &args)
    : dir_(made_temporary_dir()),
      err_path_(dir_ + "/stderr"),
      pid_(start_background_child(program, extra_env, err_path_, args))
{
}

BackgroundProgram::~BackgroundProgram()
{
    // Once reaped, the pid may already name another process.
    if (!ended_) {
        kill(pid_, SIGKILL);
        wait_child_exit(pid_, 5000);
    }
    unlink(err_path_.c_str());
    rmdir(dir_.c_str());
}

std::string BackgroundProgram::err() const
{
    std::ifstream file(err_path_);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

bool BackgroundProgram::says(const std::string &line, int times) const
{
    return wait_for([&] { return count_of(err(), "orvel: " + line + "\n") >= times; }, PROGRAM_LIMIT);
}

int BackgroundProgram::exit_status(std::chrono::milliseconds limit)
{
    if (ended_)
        return status_;
    status_ = wait_child_exit(pid_, static_cast<int>(limit.count()));
    ended_ = status_ != -1;
    return status_;
}

int BackgroundProgram::close()
{
    if (!ended_)
        kill(pid_, SIGTERM);
    return exit_status(PROGRAM_LIMIT);
}
