#include "audio/rate_conversion.h"

#include "engine/engine_types.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr float FULL_SCALE_F = static_cast<float>(FULL_SCALE);

float finite_or_zero(float x)
{
    // A NaN or infinity would stay in the decayed sums for good; a sample of
    // 1e30 would make one in the group average already.
    return std::isfinite(x) ? std::clamp(x, -MAX_INPUT_SAMPLE, MAX_INPUT_SAMPLE) : 0.0f;
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

}  // namespace

SampleExchange::SampleExchange(int engine_rate)
    : in_ring_0{}, in_ring_1{}, out_ring_0{}, out_ring_1{}, engine_rate_(engine_rate), rate_div_(SERVER_RATE / engine_rate)
{
}

// The assembler pairs the k-th input sample with the k-th output sample it
// taps; a measured delay is only true while that pairing holds. A group
// recorded while playback ran dry has no tapped partner (the silence never
// entered a ring), so it is dropped as well. A group dropped for a full ring
// leaves its partner in the tap, which the assembler then passes over.
void SampleExchange::keep_group_input(bool played)
{
    if (!played) {
        dry_groups_.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    if (ring_free(in_ring_0, RingReader::consumer) == 0 || ring_free(in_ring_1, RingReader::consumer) == 0) {
        dropped_groups_.fetch_add(1, std::memory_order_relaxed);
        unpaired_tap_samples_.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    push_group_average(in_ring_0, in_stage_0_, rate_div_);
    push_group_average(in_ring_1, in_stage_1_, rate_div_);
}

void SampleExchange::exchange(float *io_1, float *io_2, std::uint32_t nframes)
{
    if (period_frames_.load(std::memory_order_relaxed) != nframes)
        period_frames_.store(nframes, std::memory_order_relaxed);
    for (std::uint32_t f = 0; f < nframes; f++) {
        in_stage_0_[stage_pos_] = finite_or_zero(io_1[f]);
        io_1[f] = out_stage_0_[stage_pos_];
        in_stage_1_[stage_pos_] = finite_or_zero(io_2[f]);
        io_2[f] = out_stage_1_[stage_pos_];
        stage_pos_++;
        if (stage_pos_ != rate_div_)
            continue;
        const bool played_0 = stage_next_output(out_ring_0, out_stage_0_, rate_div_);
        const bool played_1 = stage_next_output(out_ring_1, out_stage_1_, rate_div_);
        keep_group_input(played_0 && played_1);
        stage_pos_ = 0;
    }
}

std::uint32_t SampleExchange::take_unpaired_tap_samples()
{
    return unpaired_tap_samples_.exchange(0, std::memory_order_relaxed);
}

void SampleExchange::restart()
{
    {
        MutexLock lock(ring_mutex);
        take_unpaired_tap_samples();
        for (SampleRing *ring : {&in_ring_0, &in_ring_1})
            ring_skip(*ring, RingReader::consumer, ring_fill(*ring, RingReader::consumer));
        for (SampleRing *ring : {&out_ring_0, &out_ring_1})
            ring_catch_up(*ring, RingReader::tap, RingReader::consumer);
        // The staging is the real-time thread's own; it is idle now, and the
        // gate or activation that lets it run again publishes these stores.
        for (float *stage : {in_stage_0_, in_stage_1_, out_stage_0_, out_stage_1_})
            std::fill(stage, stage + MAX_RATE_DIV, 0.0f);
        stage_pos_ = 0;
    }
    ring_changed.broadcast();
    tap_moved.broadcast();
}

long SampleExchange::poll_us(std::uint32_t missing) const
{
    // What is missing comes a server period at a time: a shorter wait would
    // only wake the waiter to find it not yet come.
    const std::uint64_t frames = std::max<std::uint64_t>(std::uint64_t{missing} * static_cast<std::uint64_t>(rate_div_),
                                                         period_frames_.load(std::memory_order_relaxed));
    const auto us = static_cast<long>(frames * 1000000 / SERVER_RATE);
    return std::clamp(us, AUDIO_POLL_US_SHORTEST, AUDIO_POLL_US_LONGEST);
}
