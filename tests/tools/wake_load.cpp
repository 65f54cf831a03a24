// A load shaped like Orvel's analysis but with no JACK client: THREADS
// threads in a chain, the first woken by a paced tick, each working BUSY_US
// microseconds over a buffer of BYTES and then waking the next, about
// WAKES_PER_SECOND hand-overs a second in all, until SIGINT or SIGTERM.
// scripts/xrun_variants.sh runs it beside the server to tell whether such a
// load alone makes the server late, whatever client is in its graph.
//
//     orvel_wake_load WAKES_PER_SECOND BUSY_US THREADS BYTES
#include "support/stop_signals.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

namespace {

class WakeChain {
public:
    WakeChain(long wakes, std::chrono::microseconds busy, long threads, long bytes)
        : busy_(busy), stages_(static_cast<std::size_t>(threads))
    {
        for (std::size_t t = 0; t < stages_.size(); ++t)
            threads_.emplace_back([this, t, bytes] { work(t, static_cast<std::size_t>(bytes) / sizeof(float)); });
        // One tick wakes the whole chain: the tick and the threads make the rate.
        const auto period = std::chrono::nanoseconds(1'000'000'000L * (threads + 1) / wakes);
        threads_.emplace_back([this, period] { pace(period); });
    }

    ~WakeChain()
    {
        running_ = false;
        for (Stage &stage : stages_) {
            std::lock_guard lock(stage.mutex);
            stage.woken.notify_all();
        }
        for (std::thread &thread : threads_)
            thread.join();
    }

private:
    struct Stage {
        std::mutex mutex;
        std::condition_variable woken;
        long pending = 0;
    };

    void pace(std::chrono::nanoseconds period)
    {
        auto next = std::chrono::steady_clock::now();
        while (running_) {
            next += period;
            std::this_thread::sleep_until(next);
            hand_over(stages_.front());
        }
    }

    void work(std::size_t stage, std::size_t samples)
    {
        const std::vector<float> buffer(samples, 1.0f);
        double sum = 0.0;
        while (wait_for_work(stages_[stage])) {
            const auto until = std::chrono::steady_clock::now() + busy_;
            do {
                for (std::size_t i = 0; i < buffer.size(); i += 16)
                    sum += buffer[i];
            } while (std::chrono::steady_clock::now() < until);
            if (stage + 1 < stages_.size())
                hand_over(stages_[stage + 1]);
        }
        kept_ = sum;   // so that the work is not optimised away
    }

    static void hand_over(Stage &stage)
    {
        {
            std::lock_guard lock(stage.mutex);
            ++stage.pending;
        }
        stage.woken.notify_one();
    }

    bool wait_for_work(Stage &stage)
    {
        std::unique_lock lock(stage.mutex);
        stage.woken.wait(lock, [&] { return stage.pending > 0 || !running_; });
        if (!running_)
            return false;
        --stage.pending;
        return true;
    }

    const std::chrono::microseconds busy_;
    std::vector<Stage> stages_;
    std::atomic<bool> running_{true};
    std::atomic<double> kept_{0.0};
    std::vector<std::thread> threads_;   // last: started once the rest exists
};

} // namespace

int main(int argc, char **argv)
{
    const long wakes = argc == 5 ? std::atol(argv[1]) : 0;
    const long busy_us = argc == 5 ? std::atol(argv[2]) : -1;
    const long threads = argc == 5 ? std::atol(argv[3]) : 0;
    const long bytes = argc == 5 ? std::atol(argv[4]) : 0;
    if (wakes <= 0 || busy_us < 0 || threads <= 0 || bytes < 64) {
        std::fprintf(stderr, "usage: orvel_wake_load WAKES_PER_SECOND BUSY_US THREADS BYTES\n");
        return 2;
    }
    const StopSignals stop;   // before the chain starts its threads
    WakeChain chain(wakes, std::chrono::microseconds(busy_us), threads, bytes);
    stop.wait();
    return 0;
}
