#include "audio/block_assembler.h"

#include "audio/rate_conversion.h"
#include "engine/engine_state.h"
#include "engine/work_queue.h"

#include <QThread>

#include <algorithm>
#include <cstdlib>
#include <cstring>

int main_channel = CHANNEL_INPUT_0;
int corr_channel = CHANNEL_INPUT_0;
bool assembler_waiting = false;

namespace {

double chan_block[CHANNEL_COUNT][BLOCK_LEN];  // the latest block, assembler thread only

// How many samples the four rings still lack for a block; 0 when it is there.
std::uint32_t block_missing()
{
    const std::uint32_t fill = std::min({ring_fill(out_ring_0, RingReader::tap), ring_fill(out_ring_1, RingReader::tap),
                                         ring_fill(in_ring_0, RingReader::consumer),
                                         ring_fill(in_ring_1, RingReader::consumer)});
    return fill >= BLOCK_LEN ? 0 : BLOCK_LEN - fill;
}

// Under audio_mutex: only the four copies.
void take_block()
{
    ring_pop_block(in_ring_0, RingReader::consumer, chan_block[CHANNEL_INPUT_0], BLOCK_LEN);
    ring_pop_block(in_ring_1, RingReader::consumer, chan_block[CHANNEL_INPUT_1], BLOCK_LEN);
    ring_pop_block(out_ring_0, RingReader::tap, chan_block[CHANNEL_OUTPUT_0], BLOCK_LEN);
    ring_pop_block(out_ring_1, RingReader::tap, chan_block[CHANNEL_OUTPUT_1], BLOCK_LEN);
}

void skip_tap(std::uint32_t n)
{
    ring_skip(out_ring_0, RingReader::tap, n);
    ring_skip(out_ring_1, RingReader::tap, n);
}

// The two sum channels, once the lock is released.
void add_sum_channels()
{
    for (std::uint32_t k = 0; k < BLOCK_LEN; k++) {
        chan_block[CHANNEL_INPUT_SUM][k] = chan_block[CHANNEL_INPUT_1][k] + chan_block[CHANNEL_INPUT_0][k];
        chan_block[CHANNEL_OUTPUT_SUM][k] = chan_block[CHANNEL_OUTPUT_1][k] + chan_block[CHANNEL_OUTPUT_0][k];
    }
}

void fill_job(AnalysisJob *job, int corr)
{
    // Oldest block first: input_history_pos now points at it. Chunks never
    // wrap since both the offsets and the length are multiples of a block.
    result_lock();
    for (std::uint64_t off = 0; off < input_history_length; off += BLOCK_LEN) {
        const double *chunk = input_history + (input_history_pos + off) % input_history_length;
        std::memcpy(job->samples + off, chunk, BLOCK_LEN * sizeof(double));
    }
    result_unlock();
    for (std::uint32_t k = 0; k < BLOCK_LEN; k++)
        job->reference[k] = chan_block[corr][BLOCK_LEN - 1 - k];
}

}  // namespace

void skip_unpaired_tap_samples()
{
    if (const std::uint32_t n = take_unpaired_tap_samples())
        skip_tap(n);
}

void flush_input_rings()
{
    audio_lock();
    skip_unpaired_tap_samples();
    // The real-time side may be between its two pushes of a group: take
    // whole groups only, so the two inputs and the tap stay in step.
    const std::uint32_t n = std::min(ring_fill(in_ring_0, RingReader::consumer), ring_fill(in_ring_1, RingReader::consumer));
    ring_skip(in_ring_0, RingReader::consumer, n);
    ring_skip(in_ring_1, RingReader::consumer, n);
    skip_tap(n);
    audio_wakeup();
    audio_unlock();
}

void *assembler_main(void *)
{
    QThread::currentThread()->setPriority(QThread::HighPriority);
    audio_lock();
    for (;;) {
        for (;;) {
            skip_unpaired_tap_samples();
            const std::uint32_t missing = block_missing();
            if (missing == 0)
                break;
            if (!assembler_waiting) {
                // Whoever feeds blocks at the pace of the jobs learns at once
                // that this block's job is made.
                assembler_waiting = true;
                audio_wakeup();
            }
            audio_wait_for(audio_poll_us(missing));
        }
        assembler_waiting = false;
        take_block();
        audio_wakeup();
        if (freeze_flag != 0)
            continue;
        const int main = main_channel;
        const int corr = corr_channel;
        // When the analysis falls behind, jobs would pile up without bound;
        // the history still advances so the next job sees the newest sound.
        const bool room = jobs_submitted - jobs_completed < job_limit();
        audio_unlock();
        add_sum_channels();

        result_lock();
        std::memcpy(input_history + input_history_pos, chan_block[main], BLOCK_LEN * sizeof(double));
        result_unlock();
        input_history_pos = (input_history_pos + BLOCK_LEN) % input_history_length;

        AnalysisJob *job = room ? new_job() : nullptr;
        audio_lock();
        if (job != nullptr)
            job->seq = jobs_submitted++;
        else
            blocks_skipped++;
        audio_wakeup();
        audio_unlock();

        if (job != nullptr) {
            fill_job(job, corr);
            push_job(job);
        }
        audio_lock();
    }
    return nullptr;
}

void input_history_setup()
{
    input_history_length = window_size + BLOCK_LEN;
    input_history = static_cast<double *>(std::calloc(input_history_length, sizeof(double)));
}

void assembler_start()
{
    start_engine_thread(assembler_main, "orvel-assembler");
}

void analysis_reset()
{
    result_lock();
    std::memset(input_history, 0, input_history_length * sizeof(double));
    std::memset(correlation_sum, 0, window_size * sizeof(double));
    result_unlock();
    flush_input_rings();
}

void set_main_channel(int channel)
{
    audio_lock();
    main_channel = channel;
    audio_wakeup();
    audio_unlock();
}

void set_corr_channel(int channel)
{
    audio_lock();
    corr_channel = channel;
    audio_wakeup();
    audio_unlock();
}
