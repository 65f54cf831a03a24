#include "support/stall_witness.h"

#include <pthread.h>
#include <sched.h>
#include <time.h>
#include <unistd.h>

namespace {

constexpr std::int64_t TICK_NS = 1000000;   // a stall of a millisecond or more always covers a tick
constexpr std::int64_t LATE_NS = 200000;    // well above a real-time thread's usual wake-up latency
constexpr int WITNESS_PRIORITY = 90;        // above the server (70) and its clients (65)

std::int64_t to_ns(const timespec &t)
{
    return std::int64_t{t.tv_sec} * 1000000000 + t.tv_nsec;
}

timespec from_ns(std::int64_t ns)
{
    return {static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
}

}  // namespace

StallWitness::StallWitness()
{
    const long cpus = sysconf(_SC_NPROCESSORS_ONLN);
    for (int cpu = 0; cpu < cpus; cpu++)
        threads_.emplace_back([this, cpu] { watch(cpu); });
}

StallWitness::~StallWitness()
{
    stop_ = true;
    for (std::thread &thread : threads_)
        thread.join();
}

void StallWitness::watch(int cpu)
{
    cpu_set_t only;
    CPU_ZERO(&only);
    CPU_SET(cpu, &only);
    pthread_setaffinity_np(pthread_self(), sizeof only, &only);
    const sched_param param = {WITNESS_PRIORITY};
    if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) != 0)
        real_time_ = false;

    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    std::int64_t due = to_ns(now);
    while (!stop_) {
        due += TICK_NS;
        const timespec until = from_ns(due);
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr);
        clock_gettime(CLOCK_MONOTONIC, &now);
        const std::int64_t woke = to_ns(now);
        if (woke - due > LATE_NS) {
            std::lock_guard<std::mutex> lock(mutex_);
            stalls_.push_back({due, woke, cpu});
        }
        if (woke > due)
            due = woke;  // after a stall, tick from now rather than catch up
    }
}

std::vector<StallWitness::Stall> StallWitness::stalls() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return stalls_;
}

bool StallWitness::overlaps(std::int64_t from_ns, std::int64_t to_ns, int cpu, std::int64_t min_ns) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    for (const Stall &stall : stalls_)
        if ((cpu == ANY_CPU || stall.cpu == cpu) && stall.to_ns - stall.from_ns >= min_ns && stall.from_ns < to_ns
            && from_ns < stall.to_ns)
            return true;
    return false;
}
