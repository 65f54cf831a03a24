#include "audio/sample_rings.h"

#include "engine/engine_state.h"
#include "engine/work_queue.h"

#include <QThread>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>

// ---- rings --------------------------------------------------------------------

void ring_push(SampleRing &ring, double x)
{
    ring.values[ring.write_index] = x;
    ring.write_index = (ring.write_index + 1) % RING_SIZE;
}

double ring_pop_1(SampleRing &ring)
{
    const double x = ring.values[ring.read_index_1];
    ring.read_index_1 = (ring.read_index_1 + 1) % RING_SIZE;
    return x;
}

double ring_pop_2(SampleRing &ring)
{
    const double x = ring.values[ring.read_index_2];
    ring.read_index_2 = (ring.read_index_2 + 1) % RING_SIZE;
    return x;
}

std::uint32_t ring_fill_1(const SampleRing &ring)
{
    return (ring.write_index + RING_SIZE - ring.read_index_1) % RING_SIZE;
}

std::uint32_t ring_fill_2(const SampleRing &ring)
{
    return (ring.write_index + RING_SIZE - ring.read_index_2) % RING_SIZE;
}

std::uint32_t ring_free_1(const SampleRing &ring)
{
    return (ring.read_index_1 + RING_SIZE - 1 - ring.write_index) % RING_SIZE;
}

std::uint32_t ring_free_2(const SampleRing &ring)
{
    return (ring.read_index_2 + RING_SIZE - 1 - ring.write_index) % RING_SIZE;
}

namespace {

// Copies n values between a ring slot and a flat buffer, wrapping once.
void copy_into_ring(SampleRing &ring, std::uint32_t at, const double *src, std::uint32_t n)
{
    const std::uint32_t first = std::min(n, RING_SIZE - at);
    std::memcpy(ring.values + at, src, first * sizeof(double));
    std::memcpy(ring.values, src + first, (n - first) * sizeof(double));
}

void copy_from_ring(const SampleRing &ring, std::uint32_t at, double *dst, std::uint32_t n)
{
    const std::uint32_t first = std::min(n, RING_SIZE - at);
    std::memcpy(dst, ring.values + at, first * sizeof(double));
    std::memcpy(dst + first, ring.values, (n - first) * sizeof(double));
}

}  // namespace

void ring_push_block(SampleRing &ring, const double *src, std::uint32_t n)
{
    copy_into_ring(ring, ring.write_index, src, n);
    ring.write_index = (ring.write_index + n) % RING_SIZE;
}

void ring_pop_1_block(SampleRing &ring, double *dst, std::uint32_t n)
{
    copy_from_ring(ring, ring.read_index_1, dst, n);
    ring.read_index_1 = (ring.read_index_1 + n) % RING_SIZE;
}

void ring_pop_2_block(SampleRing &ring, double *dst, std::uint32_t n)
{
    copy_from_ring(ring, ring.read_index_2, dst, n);
    ring.read_index_2 = (ring.read_index_2 + n) % RING_SIZE;
}

SampleRing in_ring_0;
SampleRing in_ring_1;
SampleRing out_ring_0;
SampleRing out_ring_1;

int main_channel = CHANNEL_INPUT_0;
int corr_channel = CHANNEL_INPUT_0;
std::uint64_t blocks_skipped = 0;
bool assembler_waiting = false;
std::uint64_t job_memory_budget = JOB_MEMORY_BUDGET;

// ---- rate conversion (real-time thread only) ------------------------------------

namespace {

float in_stage_0[MAX_RATE_DIV];   // input_1 frames of the group in progress
float in_stage_1[MAX_RATE_DIV];   // input_2 frames of the group in progress
float out_stage_0[MAX_RATE_DIV];  // output_1 frames played during the group in progress
float out_stage_1[MAX_RATE_DIV];  // output_2 frames played during the group in progress
std::uint8_t stage_pos = 0;       // frames of the group in progress already exchanged
std::atomic<bool> intake_priority_set{false};

constexpr float FULL_SCALE_F = static_cast<float>(FULL_SCALE);

float finite_or_zero(float x)
{
    // A NaN or infinity would stay in the decayed sums for good.
    return std::isfinite(x) ? x : 0.0f;
}

void push_group_average(SampleRing &ring, const float *stage, int rate_div)
{
    float sum = 0.0f;
    for (int i = 0; i < rate_div; i++)
        sum += stage[i];
    ring_push(ring, static_cast<double>(sum / static_cast<float>(rate_div) * FULL_SCALE_F));
}

// Plan the next group's output: a straight line from the sample played last
// to the next ring sample, reaching it on the group's last frame. A dry ring
// yields 0, so the output ramps to silence rather than clicking.
// Returns whether the ring had a sample.
bool stage_next_output(SampleRing &ring, float *stage, int rate_div)
{
    float next = 0.0f;
    const bool available = ring_fill_2(ring) != 0;
    if (available)
        next = static_cast<float>(ring_pop_2(ring) / FULL_SCALE);
    const float prev = stage[rate_div - 1];
    const float div = static_cast<float>(rate_div);
    for (int m = 1; m <= rate_div; m++)
        stage[m - 1] = (prev * static_cast<float>(rate_div - m) + static_cast<float>(m) * next) / div;
    return available;
}

// Move the assembler's tap (reader 1) on both output rings past n samples.
void skip_tap(std::uint32_t n)
{
    for (SampleRing *ring : {&out_ring_0, &out_ring_1}) {
        const std::uint32_t step = std::min(n, ring_fill_1(*ring));
        ring->read_index_1 = (ring->read_index_1 + step) % RING_SIZE;
    }
}

// The assembler pairs the k-th input sample with the k-th output sample it
// taps; a measured delay is only true while that pairing holds. A group
// recorded while playback ran dry has no tapped partner (the silence never
// entered a ring), so it is dropped as well. A group dropped for a full ring
// leaves its partner in the tap, so the tap skips one.
void keep_group_input(bool played, int rate_div)
{
    if (!played)
        return;
    if (ring_free_2(in_ring_0) == 0 || ring_free_2(in_ring_1) == 0) {
        skip_tap(1);
        return;
    }
    push_group_average(in_ring_0, in_stage_0, rate_div);
    push_group_average(in_ring_1, in_stage_1, rate_div);
}

}  // namespace

void exchange_samples(float *io_1, float *io_2, std::uint32_t nframes)
{
    if (!intake_priority_set.exchange(true, std::memory_order_relaxed))
        QThread::currentThread()->setPriority(QThread::HighPriority);
    const int rate_div = SERVER_RATE / sample_rate;

    audio_lock();
    for (std::uint32_t f = 0; f < nframes; f++) {
        in_stage_0[stage_pos] = finite_or_zero(io_1[f]);
        io_1[f] = out_stage_0[stage_pos];
        in_stage_1[stage_pos] = finite_or_zero(io_2[f]);
        io_2[f] = out_stage_1[stage_pos];
        stage_pos++;
        if (stage_pos != rate_div)
            continue;
        const bool played_0 = stage_next_output(out_ring_0, out_stage_0, rate_div);
        const bool played_1 = stage_next_output(out_ring_1, out_stage_1, rate_div);
        keep_group_input(played_0 && played_1, rate_div);
        stage_pos = 0;
    }
    // No wake-up from here: a woken thread can take this thread's processor
    // for a scheduler tick, longer than a period when the server runs without
    // real-time scheduling. The generator and the assembler look again at
    // least every AUDIO_POLL_US instead.
    audio_unlock();
}

void flush_input_rings()
{
    audio_lock();
    skip_tap(ring_fill_2(in_ring_0));
    in_ring_0.read_index_2 = in_ring_0.write_index;
    in_ring_1.read_index_2 = in_ring_1.write_index;
    audio_wakeup();
    audio_unlock();
}

// ---- block assembler --------------------------------------------------------------

namespace {

double chan_block[CHANNEL_COUNT][BLOCK_LEN];  // the latest block, assembler thread only

bool block_ready()
{
    return ring_fill_1(out_ring_0) >= BLOCK_LEN && ring_fill_1(out_ring_1) >= BLOCK_LEN
        && ring_fill_2(in_ring_0) >= BLOCK_LEN && ring_fill_2(in_ring_1) >= BLOCK_LEN;
}

// Under audio_mutex: only the four copies.
void take_block()
{
    ring_pop_2_block(in_ring_0, chan_block[CHANNEL_INPUT_0], BLOCK_LEN);
    ring_pop_2_block(in_ring_1, chan_block[CHANNEL_INPUT_1], BLOCK_LEN);
    ring_pop_1_block(out_ring_0, chan_block[CHANNEL_OUTPUT_0], BLOCK_LEN);
    ring_pop_1_block(out_ring_1, chan_block[CHANNEL_OUTPUT_1], BLOCK_LEN);
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

std::uint64_t job_bytes()
{
    const std::uint64_t groups = group_count();
    return sizeof(AnalysisJob) + (2 * input_history_length + 2 * BLOCK_LEN + groups) * sizeof(double)
        + (groups + 3) * sizeof(BandTask);
}

std::uint64_t job_limit()
{
    // Rows are reused every result_row_count jobs, and the in-flight count is
    // shown modulo that, so stay one below it.
    constexpr std::uint64_t row_bound = 255;
    return std::clamp<std::uint64_t>(job_memory_budget / job_bytes(), 1, row_bound);
}

void *assembler_main(void *)
{
    QThread::currentThread()->setPriority(QThread::HighPriority);
    audio_lock();
    for (;;) {
        while (!block_ready()) {
            assembler_waiting = true;
            audio_wait_for(AUDIO_POLL_US);
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
    start_engine_thread(assembler_main);
}
