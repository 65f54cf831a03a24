#include "audio/rate_conversion.h"

#include "engine/engine_state.h"

#include <algorithm>
#include <cmath>

SampleRing in_ring_0;
SampleRing in_ring_1;
SampleRing out_ring_0;
SampleRing out_ring_1;

namespace {

// ---- real-time thread only ----------------------------------------------------

float in_stage_0[MAX_RATE_DIV];   // input_1 frames of the group in progress
float in_stage_1[MAX_RATE_DIV];   // input_2 frames of the group in progress
float out_stage_0[MAX_RATE_DIV];  // output_1 frames played during the group in progress
float out_stage_1[MAX_RATE_DIV];  // output_2 frames played during the group in progress
std::uint8_t stage_pos = 0;       // frames of the group in progress already exchanged

// Written by the real-time thread, taken by the assembler. Relaxed: the count
// carries no data with it, and the tap it concerns is read under its own
// index ordering.
std::atomic<std::uint32_t> unpaired_tap_samples{0};

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
    const bool available = ring_fill(ring, RingReader::consumer) != 0;
    if (available)
        next = static_cast<float>(ring_pop(ring, RingReader::consumer) / FULL_SCALE);
    const float prev = stage[rate_div - 1];
    const float div = static_cast<float>(rate_div);
    for (int m = 1; m <= rate_div; m++)
        stage[m - 1] = (prev * static_cast<float>(rate_div - m) + static_cast<float>(m) * next) / div;
    return available;
}

// The assembler pairs the k-th input sample with the k-th output sample it
// taps; a measured delay is only true while that pairing holds. A group
// recorded while playback ran dry has no tapped partner (the silence never
// entered a ring), so it is dropped as well. A group dropped for a full ring
// leaves its partner in the tap, which the assembler then passes over.
void keep_group_input(bool played, int rate_div)
{
    if (!played)
        return;
    if (ring_free(in_ring_0, RingReader::consumer) == 0 || ring_free(in_ring_1, RingReader::consumer) == 0) {
        unpaired_tap_samples.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    push_group_average(in_ring_0, in_stage_0, rate_div);
    push_group_average(in_ring_1, in_stage_1, rate_div);
}

}  // namespace

void exchange_samples(float *io_1, float *io_2, std::uint32_t nframes)
{
    const int rate_div = SERVER_RATE / sample_rate;
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
}

std::uint32_t take_unpaired_tap_samples()
{
    return unpaired_tap_samples.exchange(0, std::memory_order_relaxed);
}

void exchange_restart()
{
    audio_lock();
    take_unpaired_tap_samples();
    for (SampleRing *ring : {&in_ring_0, &in_ring_1})
        ring_skip(*ring, RingReader::consumer, ring_fill(*ring, RingReader::consumer));
    for (SampleRing *ring : {&out_ring_0, &out_ring_1})
        ring_catch_up(*ring, RingReader::tap, RingReader::consumer);
    // The staging is the real-time thread's own; it is idle now, and the
    // gate or activation that lets it run again publishes these stores.
    for (float *stage : {in_stage_0, in_stage_1, out_stage_0, out_stage_1})
        std::fill(stage, stage + MAX_RATE_DIV, 0.0f);
    stage_pos = 0;
    audio_wakeup();
    audio_unlock();
}

long audio_poll_us(std::uint32_t missing)
{
    const auto us = static_cast<long>(static_cast<std::uint64_t>(missing) * 1000000 / static_cast<std::uint64_t>(sample_rate));
    return std::clamp(us, AUDIO_POLL_US_SHORTEST, AUDIO_POLL_US_LONGEST);
}
