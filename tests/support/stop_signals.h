// For tools that run until SIGINT or SIGTERM: the signals are blocked from
// construction on, in this thread and every thread it starts afterwards, so
// that only wait() takes them and the tool can end its threads in order.
// Construct it before any thread starts.
#pragma once

#include <pthread.h>
#include <signal.h>

class StopSignals {
public:
    StopSignals()
    {
        sigemptyset(&signals_);
        sigaddset(&signals_, SIGINT);
        sigaddset(&signals_, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &signals_, nullptr);
    }

    void wait() const
    {
        int signal_number = 0;
        sigwait(&signals_, &signal_number);
    }

private:
    sigset_t signals_;
};
