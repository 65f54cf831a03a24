// A load shaped like Orvel's analysis but with no JACK client: THREADS
// threads in a chain, the first woken by a paced tick, each working BUSY_US
// microseconds over a buffer of BYTES and then waking the next, about
// WAKES_PER_SECOND hand-overs a second in all, until SIGINT or SIGTERM.
// scripts/xrun_variants.sh runs it beside the server to tell whether such a
// load alone makes the server late, whatever client is in its graph.
//
//     orvel_wake_load WAKES_PER_SECOND BUSY_US THREADS BYTES
#include <signal.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

namespace {

struct Stage {
    std::mutex mutex;
    std::condition_variable woken;
    long pending = 0;
};

std::atomic<bool> running{true};
std::atomic<double> sink{0.0};

void work_for(std::chrono::microseconds busy, const std::vector<float> &buffer)
{
    const auto until = std::chrono::steady_clock::now() + busy;
    double sum = 0.0;
    do {
        for (std::size_t i = 0; i < buffer.size(); i += 16)
            sum += buffer[i];
    } while (std::chrono::steady_clock::now() < until);
    sink.store(sum, std::memory_order_relaxed);
}

void hand_over(Stage &stage)
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
    stage.woken.wait(lock, [&] { return stage.pending > 0 || !running; });
    if (!running)
        return false;
    --stage.pending;
    return true;
}

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
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);

    std::vector<Stage> stages(static_cast<std::size_t>(threads));
    std::vector<std::thread> workers;
    for (long t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            std::vector<float> buffer(static_cast<std::size_t>(bytes) / sizeof(float), 1.0f);
            while (wait_for_work(stages[static_cast<std::size_t>(t)])) {
                work_for(std::chrono::microseconds(busy_us), buffer);
                if (t + 1 < threads)
                    hand_over(stages[static_cast<std::size_t>(t + 1)]);
            }
        });
    }
    // One tick wakes the whole chain: the tick and the threads make the rate.
    std::thread pacer([&] {
        const auto period = std::chrono::nanoseconds(1'000'000'000L * (threads + 1) / wakes);
        auto next = std::chrono::steady_clock::now();
        while (running) {
            next += period;
            std::this_thread::sleep_until(next);
            hand_over(stages[0]);
        }
    });

    int signal_number = 0;
    sigwait(&stop, &signal_number);
    running = false;
    for (Stage &stage : stages) {
        std::lock_guard lock(stage.mutex);
        stage.woken.notify_all();
    }
    pacer.join();
    for (std::thread &worker : workers)
        worker.join();
    return 0;
}
