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

// CLOCK_MONOTONIC in nanoseconds, as the callback reads it.
std::int64_t monotonic_ns();

// One client's record of its callback durations.
class CallbackTiming {
public:
    // Real-time thread, at the end of each callback: count one call that
    // ran from start_ns to end_ns (CLOCK_MONOTONIC), started on processor
    // start_cpu. Lock-free, allocates nothing.
    void record(std::int64_t start_ns, std::int64_t end_ns, int start_cpu);

    // Any thread: the counts so far. Each bucket is read atomically, the
    // whole only nearly so: a call recorded meanwhile may or may not be in it.
    CallbackDurations durations() const;

    // Any thread: the slow calls kept so far, oldest first.
    std::vector<SlowCallback> slow_calls() const;

    // The kernel's id of the thread the server runs the callback on, 0
    // before the first call (or after forget_thread). Lets another thread
    // read that thread's scheduling. Relaxed: an id, ordered with nothing.
    pid_t thread_id() const { return thread_id_.load(std::memory_order_relaxed); }
    void set_thread_id(pid_t id) { thread_id_.store(id, std::memory_order_relaxed); }

private:
    // One writer (the callback thread), so a relaxed load and store per call
    // is enough; readers only need each counter whole, not ordered with the
    // others.
    std::array<std::atomic<std::uint64_t>, CALLBACK_TIMING_BUCKETS> bucket_calls_{};
    // Written by the callback thread only; slow_count_ publishes each entry.
    SlowCallback slow_log_[SLOW_CALLBACK_LOG] = {};
    std::atomic<int> slow_count_{0};
    std::atomic<pid_t> thread_id_{0};
};
