#include "audio/callback_timing.h"

#include <sched.h>
#include <time.h>

#include <algorithm>
#include <cmath>

namespace {

constexpr std::int64_t NS_PER_BUCKET = 1000;

}  // namespace

void CallbackTiming::record(std::int64_t start_ns, std::int64_t end_ns, int start_cpu)
{
    const std::int64_t nanoseconds = end_ns - start_ns;
    // Round up, so a bucket's index is a bound the call stayed within.
    const std::int64_t bucket = (std::max<std::int64_t>(nanoseconds, 0) + NS_PER_BUCKET - 1) / NS_PER_BUCKET;
    std::atomic<std::uint64_t> &calls =
        bucket_calls_[static_cast<std::size_t>(std::min<std::int64_t>(bucket, CALLBACK_TIMING_BUCKETS - 1))];
    calls.store(calls.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    if (nanoseconds < SLOW_CALLBACK_NS)
        return;
    const int kept = slow_count_.load(std::memory_order_relaxed);
    if (kept == SLOW_CALLBACK_LOG)
        return;
    slow_log_[kept] = {start_ns, end_ns, start_cpu, sched_getcpu()};
    slow_count_.store(kept + 1, std::memory_order_release);  // publishes the entry
}

std::int64_t monotonic_ns()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return std::int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

std::vector<SlowCallback> CallbackTiming::slow_calls() const
{
    const int kept = slow_count_.load(std::memory_order_acquire);
    return std::vector<SlowCallback>(slow_log_, slow_log_ + kept);
}

CallbackDurations CallbackTiming::durations() const
{
    CallbackDurations durations;
    for (int b = 0; b < CALLBACK_TIMING_BUCKETS; b++)
        durations.calls[b] = bucket_calls_[b].load(std::memory_order_relaxed);
    return durations;
}
std::uint64_t CallbackDurations::total() const
{
    std::uint64_t sum = 0;
    for (const std::uint64_t n : calls)
        sum += n;
    return sum;
}

int CallbackDurations::percentile_us(double q) const
{
    const std::uint64_t all = total();
    if (all == 0)
        return 0;
    // The smallest bucket with at least ceil(q * all) calls at or below it.
    const auto needed = std::max<std::uint64_t>(1, static_cast<std::uint64_t>(std::ceil(q * static_cast<double>(all))));
    std::uint64_t seen = 0;
    for (int b = 0; b < CALLBACK_TIMING_BUCKETS; b++) {
        seen += calls[b];
        if (seen >= needed)
            return b;
    }
    return CALLBACK_TIMING_BUCKETS - 1;
}

int CallbackDurations::worst_us() const
{
    for (int b = CALLBACK_TIMING_BUCKETS - 1; b >= 0; b--)
        if (calls[b] != 0)
            return b;
    return 0;
}

CallbackDurations CallbackDurations::since(const CallbackDurations &earlier) const
{
    CallbackDurations delta;
    for (int b = 0; b < CALLBACK_TIMING_BUCKETS; b++)
        delta.calls[b] = calls[b] - earlier.calls[b];
    return delta;
}
