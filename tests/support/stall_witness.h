// Notices when a processor stops running threads for a while: the host of a
// virtual machine taking the processor away, or interrupts held off. One
// thread per processor, pinned there under SCHED_FIFO above the sound
// server, wakes every millisecond and records each wake-up that came late.
// Orvel can neither cause nor prevent such stalls, so a test of Orvel's own
// timing sets aside what they overlap.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

class StallWitness {
public:
    struct Stall {
        std::int64_t from_ns;  // CLOCK_MONOTONIC: when the wake-up was due
        std::int64_t to_ns;    // CLOCK_MONOTONIC: when it came
        int cpu;
    };

    StallWitness();
    ~StallWitness();  // stops and joins the threads

    // Whether the threads run under SCHED_FIFO; without it their own
    // wake-ups wait for ordinary threads and they see stalls everywhere.
    bool real_time() const { return real_time_; }
    std::vector<Stall> stalls() const;
    static constexpr int ANY_CPU = -1;
    // Whether a stall of at least min_ns on cpu (or on any, with ANY_CPU)
    // overlaps from_ns .. to_ns.
    bool overlaps(std::int64_t from_ns, std::int64_t to_ns, int cpu, std::int64_t min_ns = 0) const;

private:
    void watch(int cpu);

    std::vector<std::thread> threads_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> real_time_{true};
    mutable std::mutex mutex_;
    std::vector<Stall> stalls_;
};
