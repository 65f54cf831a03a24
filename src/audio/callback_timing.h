// How long the process callback takes, measured by the callback itself: the
// part of a period that Orvel controls. The server's own xrun count mixes in
// every other client and the machine's scheduling; this does not.
#pragma once

#include <sys/types.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <vector>

// Durations are counted in buckets of one microsecond; the last bucket holds
// every call that took longer (far beyond any period worth running).
constexpr int CALLBACK_TIMING_BUCKETS = 16384;

// Counts of callback durations since the process started. Plain data: take
// two and subtract to look at an interval.
struct CallbackDurations {
    std::array<std::uint64_t, CALLBACK_TIMING_BUCKETS> calls{};  // calls per 1 us of duration

    std::uint64_t total() const;
    // Microseconds within which the fraction q (0..1) of the calls ended,
    // rounded up to whole microseconds; 0 when there were no calls.
    int percentile_us(double q) const;
    // The longest call in microseconds, rounded up; 0 when there were none.
    int worst_us() const;
    // The calls counted here and not in earlier.
    CallbackDurations since(const CallbackDurations &earlier) const;
};

// A call that took at least SLOW_CALLBACK_NS, kept with when and where it ran
// so that it can be set beside what else the machine did at that time.
constexpr std::int64_t SLOW_CALLBACK_NS = 500000;
constexpr int SLOW_CALLBACK_LOG = 256;  // the first this many are kept
struct SlowCallback {
    std::int64_t start_ns;  // CLOCK_MONOTONIC
    std::int64_t end_ns;    // CLOCK_MONOTONIC
    int start_cpu;          // the processor it started on
    int end_cpu;            // the processor it ended on (a higher priority may push it over)
};

// Real-time thread, at the end of each callback: count one call that ran
// from start_ns to end_ns (CLOCK_MONOTONIC), started on processor
// start_cpu. Lock-free, allocates nothing.
void callback_timing_record(std::int64_t start_ns, std::int64_t end_ns, int start_cpu);

// CLOCK_MONOTONIC in nanoseconds, as the callback reads it.
std::int64_t monotonic_ns();

// Any thread: the counts so far. Each bucket is read atomically, the whole
// only nearly so: a call recorded meanwhile may or may not be in it.
CallbackDurations callback_durations();

// Any thread: the slow calls kept so far, oldest first.
std::vector<SlowCallback> slow_callbacks();

// The kernel's id of the thread the server runs the callback on, 0 before
// the first call. Lets another thread read that thread's scheduling.
extern std::atomic<pid_t> callback_thread_id;
