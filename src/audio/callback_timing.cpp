#include "audio/callback_timing.h"

#include <algorithm>
#include <cmath>

std::atomic<pid_t> callback_thread_id{0};

namespace {

constexpr std::int64_t NS_PER_BUCKET = 1000;

// One writer (the callback thread), so a relaxed load and store per call is
// enough; readers only need each counter whole, not ordered with the others.
std::array<std::atomic<std::uint64_t>, CALLBACK_TIMING_BUCKETS> bucket_calls{};

}  // namespace

void callback_timing_record(std::int64_t nanoseconds)
{
    // Round up, so a bucket's index is a bound the call stayed within.
    const std::int64_t bucket = (std::max<std::int64_t>(nanoseconds, 0) + NS_PER_BUCKET - 1) / NS_PER_BUCKET;
    std::atomic<std::uint64_t> &calls = bucket_calls[static_cast<std::size_t>(
        std::min<std::int64_t>(bucket, CALLBACK_TIMING_BUCKETS - 1))];
    calls.store(calls.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

CallbackDurations callback_durations()
{
    CallbackDurations durations;
    for (int b = 0; b < CALLBACK_TIMING_BUCKETS; b++)
        durations.calls[b] = bucket_calls[b].load(std::memory_order_relaxed);
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
