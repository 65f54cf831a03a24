// How late a real-time thread wakes on this machine: a SCHED_FIFO thread
// (priority 60, below the soak server's, so as not to delay it) sleeps to
// absolute times one JACK period apart (256 frames at 48000 Hz) for SECONDS
// and prints how late it woke: the median, 99th, 99.9th and 99.99th
// percentiles and the worst, then how often it was later than 1 ms and than
// a whole period (where a server would have missed its cycle). Run beside a
// load, it shows what the load does to real-time threads without counting
// rare xruns. Not a test.
//
//     orvel_wake_latency SECONDS
#include <pthread.h>
#include <sched.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

constexpr long PERIOD_NS = 256L * 1'000'000'000L / 48000;

long long ns(const timespec &t) { return t.tv_sec * 1'000'000'000LL + t.tv_nsec; }

} // namespace

int main(int argc, char **argv)
{
    const long seconds = argc == 2 ? std::atol(argv[1]) : 0;
    if (seconds <= 0) {
        std::fprintf(stderr, "usage: orvel_wake_latency SECONDS\n");
        return 2;
    }
    sched_param param{};
    param.sched_priority = 60;
    if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) != 0) {
        std::fprintf(stderr, "orvel_wake_latency: no real-time scheduling here\n");
        return 1;
    }
    const long wakes = seconds * 1'000'000'000L / PERIOD_NS;
    std::vector<long long> late(static_cast<std::size_t>(wakes));
    timespec next{};
    clock_gettime(CLOCK_MONOTONIC, &next);
    for (long long &lateness : late) {
        long long target = ns(next) + PERIOD_NS;
        next.tv_sec = static_cast<time_t>(target / 1'000'000'000LL);
        next.tv_nsec = static_cast<long>(target % 1'000'000'000LL);
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr) == EINTR) {
        }
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        lateness = ns(now) - target;
    }
    const long over_ms = std::count_if(late.begin(), late.end(), [](long long l) { return l > 1'000'000; });
    const long over_period = std::count_if(late.begin(), late.end(), [](long long l) { return l > PERIOD_NS; });
    std::sort(late.begin(), late.end());
    auto quantile_us = [&](double q) {
        return static_cast<double>(late[static_cast<std::size_t>(q * static_cast<double>(late.size() - 1))]) / 1000.0;
    };
    std::printf("%.0f / %.0f / %.0f / %.0f / %.0f us, %ld over 1 ms, %ld over a period\n",
                quantile_us(0.5), quantile_us(0.99), quantile_us(0.999), quantile_us(0.9999),
                quantile_us(1.0), over_ms, over_period);
    return 0;
}
