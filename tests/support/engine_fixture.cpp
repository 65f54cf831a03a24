#include "support/engine_fixture.h"

#include "audio/block_assembler.h"
#include "audio/rate_conversion.h"
#include "audio/rate_gate.h"
#include "engine/band_table.h"
#include "engine/collector.h"
#include "engine/command_line.h"
#include "engine/correlation.h"
#include "engine/engine_state.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <thread>

void start_engine(int rate, std::int64_t window_request, int workers, bool hold_workers)
{
    sample_rate = rate;
    worker_count = workers;
    window_size = derive_window_size(window_request, rate);
    engine_init_locks();
    band_table_setup();
    if (hold_workers) {
        queue_init(job_queue);
        correlation_sum = static_cast<double *>(std::calloc(window_size, sizeof(double)));
    } else {
        correlation_setup();
    }
    collector_setup();
    input_history_setup();
    assembler_start();
}

void release_workers()
{
    for (int i = 0; i < worker_count; i++)
        start_engine_thread(correlation_worker, "orvel-correlate");
}

void ServerStandIn::top_up_outputs()
{
    // Keep about two blocks ahead of playback, respecting both readers.
    constexpr std::uint32_t target = 2 * BLOCK_LEN;
    audio_lock();
    while (ring_fill(out_ring_0, RingReader::consumer) < target && ring_free(out_ring_0, RingReader::tap) > 0
           && ring_free(out_ring_0, RingReader::consumer) > 0) {
        ring_push(out_ring_0, output_0(generated_));
        ring_push(out_ring_1, output_1(generated_));
        generated_++;
    }
    audio_wakeup();
    audio_unlock();
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
        top_up_outputs();
        if (keep_pace || max_jobs_in_flight != 0) {
            audio_lock();
            // A block the assembler has taken counts only once its job is
            // made: wait for the assembler to be idle again before counting.
            while ((keep_pace && ring_fill(in_ring_0, RingReader::consumer) >= BLOCK_LEN)
                   || (max_jobs_in_flight != 0
                       && (!assembler_waiting || jobs_submitted - jobs_completed >= max_jobs_in_flight)))
                audio_wait_for(AUDIO_POLL_US);
            audio_unlock();
        }
        for (std::uint32_t f = 0; f < period; f++) {
            io_1[f] = input_0(frame_ + f);
            io_2[f] = input_1(frame_ + f);
        }
        if (!gated || rate_gate_pass()) {
            exchange_samples(io_1.data(), io_2.data(), period);
        } else {
            std::fill(io_1.begin(), io_1.end(), 0.0f);
            std::fill(io_2.begin(), io_2.end(), 0.0f);
        }
        // The real callback wakes nobody and the waiters poll; a test need not
        // wait for that once a block is there.
        audio_lock();
        if (ring_fill(in_ring_0, RingReader::consumer) >= BLOCK_LEN)
            audio_wakeup();
        audio_unlock();
        if (keep_played) {
            played_0_.insert(played_0_.end(), io_1.begin(), io_1.end());
            played_1_.insert(played_1_.end(), io_2.begin(), io_2.end());
        }
        frame_ += period;
    }
}

bool wait_until(const std::function<bool()> &done, int timeout_ms)
{
    const auto deadline = std::chrono::system_clock::now() + std::chrono::milliseconds(timeout_ms);
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline.time_since_epoch()).count();
    timespec until{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    audio_lock();
    bool ok = true;
    while (!done()) {
        if (pthread_cond_timedwait(&audio_cond, &audio_mutex, &until) != 0 && !done()) {
            ok = false;
            break;
        }
    }
    audio_unlock();
    return ok;
}

bool wait_for_completed(std::uint64_t count, int timeout_ms)
{
    return wait_until([count] { return jobs_completed >= count; }, timeout_ms);
}

bool wait_for_quiet(int timeout_ms)
{
    return wait_until([] {
        const bool block_waiting = ring_fill(in_ring_0, RingReader::consumer) >= BLOCK_LEN && ring_fill(in_ring_1, RingReader::consumer) >= BLOCK_LEN
            && ring_fill(out_ring_0, RingReader::tap) >= BLOCK_LEN && ring_fill(out_ring_1, RingReader::tap) >= BLOCK_LEN;
        return assembler_waiting && !block_waiting && jobs_completed == jobs_submitted;
    }, timeout_ms);
}
