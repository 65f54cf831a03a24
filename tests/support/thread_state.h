// What the kernel says of a thread of this process, for tests that must know
// a thread has gone to sleep (and so had its chance to act) before they
// check what it did. Linux /proc only.
#pragma once

#include <sys/types.h>

#include <dirent.h>

#include <cstdlib>
#include <fstream>
#include <string>

// Whether thread tid is asleep in the kernel, as a thread waiting on a
// condition variable is.
inline bool thread_asleep(pid_t tid)
{
    std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string line;
    std::getline(stat, line);
    // The state follows the command name, which is in parentheses.
    const std::size_t close = line.rfind(')');
    return close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'S';
}

// How often thread tid has given up its processor of its own accord (a wait,
// a sleep); -1 when there is no such thread.
inline long voluntary_switches(pid_t tid)
{
    std::ifstream status("/proc/self/task/" + std::to_string(tid) + "/status");
    const std::string key = "voluntary_ctxt_switches:";
    for (std::string line; std::getline(status, line);) {
        if (line.rfind(key, 0) == 0)
            return std::strtol(line.c_str() + key.size(), nullptr, 10);
    }
    return -1;
}

// The thread of this process named name (as start_named_thread names it), 0
// when there is none.
inline pid_t thread_named(const std::string &name)
{
    DIR *tasks = opendir("/proc/self/task");
    if (tasks == nullptr)
        return 0;
    pid_t found = 0;
    while (const dirent *entry = readdir(tasks)) {
        if (entry->d_name[0] == '.')
            continue;
        std::ifstream comm(std::string("/proc/self/task/") + entry->d_name + "/comm");
        std::string line;
        if (std::getline(comm, line) && line == name) {
            found = static_cast<pid_t>(std::strtol(entry->d_name, nullptr, 10));
            break;
        }
    }
    closedir(tasks);
    return found;
}
