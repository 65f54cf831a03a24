#include "support/engine_fixture.h"


#include <algorithm>
#include <thread>
#include <utility>

std::unique_ptr<Analysis> start_test_analysis(int rate, std::int64_t window_request, int workers)
{
    return start_analysis(engine_config(rate, window_request, workers));
}

void ServerStandIn::run(std::uint64_t frames)
{
    std::vector<float> io_1(period);
    std::vector<float> io_2(period);
    if (frame_ == 0)
        started_ = std::chrono::steady_clock::now();
    for (std::uint64_t done = 0; done < frames; done += period) {
        if (real_time)
            std::this_thread::sleep_until(started_ + std::chrono::microseconds(frame_ * 1000000 / SERVER_RATE));
        // Keep about two blocks ahead of playback, respecting both readers.
        generated_ += analysis_.top_up_outputs(generated_, [this](std::uint64_t k) {
            return std::pair{output_0(k), output_1(k)};
        });
        {
            // As a generator does after each frame: a waiting assembler may
            // have lacked only these.
            MutexLock lock(analysis_.exchange.ring_mutex);
            analysis_.exchange.ring_changed.broadcast();
        }
        if (keep_pace || max_jobs_in_flight != 0)
            analysis_.wait_for_feed_turn(keep_pace, max_jobs_in_flight);
        for (std::uint32_t f = 0; f < period; f++) {
            io_1[f] = input_0(frame_ + f);
            io_2[f] = input_1(frame_ + f);
        }
        if (gate == nullptr || gate->pass()) {
            analysis_.exchange.exchange(io_1.data(), io_2.data(), period);
        } else {
            std::fill(io_1.begin(), io_1.end(), 0.0f);
            std::fill(io_2.begin(), io_2.end(), 0.0f);
        }
        analysis_.wake_assembler_if_block();
        if (keep_played) {
            played_0_.insert(played_0_.end(), io_1.begin(), io_1.end());
            played_1_.insert(played_1_.end(), io_2.begin(), io_2.end());
        }
        frame_ += period;
    }
}

bool wait_for_jobs(Engine &engine, const std::function<bool(const JobCounts &)> &done, int timeout_ms)
{
    return engine.wait_for_jobs(done, std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms));
}

bool wait_for_completed(Engine &engine, std::uint64_t count, int timeout_ms)
{
    return wait_for_jobs(engine, [count](const JobCounts &counts) { return counts.completed >= count; }, timeout_ms);
}

bool wait_for_quiet(Analysis &analysis, int timeout_ms)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        // The assembler idle with no whole block left, then every job done;
        // a block that arrives meanwhile starts the look over.
        bool idle;
        {
            MutexLock lock(analysis.exchange.ring_mutex);
            analysis.assembler.holds_ring_mutex();
            idle = analysis.assembler.waiting() && !analysis.assembler.block_ready();
        }
        if (idle && analysis.engine.wait_for_jobs([](const JobCounts &c) { return c.completed == c.submitted; }, deadline)) {
            MutexLock lock(analysis.exchange.ring_mutex);
            analysis.assembler.holds_ring_mutex();
            if (analysis.assembler.waiting() && !analysis.assembler.block_ready())
                return true;
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}
