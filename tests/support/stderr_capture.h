// What this process writes on stderr while one lives, for tests that check
// what a step says there.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <string>

class StderrCapture {
public:
    StderrCapture() : file_(std::tmpfile()), saved_(dup(STDERR_FILENO))
    {
        std::fflush(stderr);
        dup2(fileno(file_), STDERR_FILENO);
    }
    ~StderrCapture()
    {
        std::fflush(stderr);
        dup2(saved_, STDERR_FILENO);
        ::close(saved_);
        std::fclose(file_);
    }
    std::string text() const
    {
        std::fflush(stderr);
        std::string all;
        char buffer[4096];
        ssize_t got;
        while ((got = pread(fileno(file_), buffer, sizeof buffer, static_cast<off_t>(all.size()))) > 0)
            all.append(buffer, static_cast<std::size_t>(got));
        return all;
    }

private:
    std::FILE *file_;
    int saved_;
};
