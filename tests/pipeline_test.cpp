// The whole analysis pipeline, fed through exchange_samples in periods as the
// sound server would: rings, assembler, correlation workers, tone detectors
// and collector, with their real threads.
#include "audio/block_assembler.h"
#include "audio/rate_conversion.h"
#include "engine/collector.h"
#include "engine/engine_state.h"
#include "support/engine_fixture.h"
#include "support/white_noise.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

void select_channels(int main, int corr)
{
    audio_lock();
    main_channel = main;
    corr_channel = corr;
    audio_unlock();
}

// Frames that make this many analysis blocks at the engine rate.
std::uint64_t frames_for_blocks(std::uint64_t blocks)
{
    return blocks * BLOCK_LEN * static_cast<std::uint64_t>(SERVER_RATE / sample_rate);
}

std::uint64_t completed()
{
    audio_lock();
    const std::uint64_t n = jobs_completed;
    audio_unlock();
    return n;
}

std::uint64_t newest_row()
{
    return (completed() - 1) % result_row_count;
}

std::uint64_t strongest_correlation_index()
{
    result_lock();
    const std::uint64_t index = static_cast<std::uint64_t>(
        std::max_element(correlation_sum, correlation_sum + window_size) - correlation_sum);
    result_unlock();
    return index;
}

// Run whole blocks through the pipeline and wait until all their jobs are
// done. Fed no faster than the bound on jobs in flight allows, no block is
// skipped.
void run_blocks(ServerStandIn &server, std::uint64_t blocks)
{
    audio_lock();
    server.max_jobs_in_flight = job_limit();
    audio_unlock();
    const std::uint64_t before = completed();
    server.run(frames_for_blocks(blocks));
    ASSERT_TRUE(wait_for_completed(before + blocks));
}

}  // namespace

// Noise on input 0 and the same noise d engine samples later on input 1, the
// later one correlated against the history of the earlier one.
void expect_peak_at_delay(int rate, std::uint64_t delay)
{
    start_engine(rate);
    select_channels(CHANNEL_INPUT_0, CHANNEL_INPUT_1);
    const std::uint64_t shift = delay * static_cast<std::uint64_t>(SERVER_RATE / rate);
    ServerStandIn server;
    server.input_0 = white_noise;
    server.input_1 = [shift](std::uint64_t f) { return f >= shift ? white_noise(f - shift) : 0.0f; };
    run_blocks(server, window_size / BLOCK_LEN + 3);
    EXPECT_EQ(strongest_correlation_index(), window_size - 1 - delay);
}

TEST(Pipeline, DelayedNoisePeaksAtTheDelay) { expect_peak_at_delay(16000, 160); }
TEST(Pipeline, DelayedNoisePeaksAtTheDelayAt48000) { expect_peak_at_delay(48000, 1000); }

TEST(Pipeline, Sine440IsA5)
{
    start_engine(16000);
    ServerStandIn server;
    server.input_0 = [](std::uint64_t f) {
        return static_cast<float>(0.5 * std::sin(2.0 * M_PI * 440.0 * static_cast<double>(f) / SERVER_RATE));
    };
    run_blocks(server, window_size / BLOCK_LEN + 2);

    result_lock();
    const PitchClassPeak *peaks = pitch_class_rows + 12 * newest_row();
    const PitchClassPeak *strongest = std::max_element(
        peaks, peaks + 12, [](const PitchClassPeak &a, const PitchClassPeak &b) { return a.level < b.level; });
    const PitchClassPeak found = *strongest;
    result_unlock();
    EXPECT_EQ(found.pitch_class, 0.0);
    EXPECT_NEAR(found.band, 15360.0, 8.0);
}

// 437.5 Hz fits 28 whole periods in a block, so every job measures the same
// window; with decay 0.5 the levels tend to twice one job's levels.
TEST(Pipeline, DecayHalfDoublesConstantLevels)
{
    start_engine(16000, 0, 1);
    ServerStandIn server;
    constexpr std::uint64_t block_frames = 3 * BLOCK_LEN;  // 28 periods of 437.5 Hz at 48000 Hz
    server.input_0 = [](std::uint64_t f) {
        return static_cast<float>(
            0.5 * std::sin(2.0 * M_PI * 437.5 * static_cast<double>(f % block_frames) / SERVER_RATE));
    };
    const std::uint64_t groups = group_count();
    run_blocks(server, window_size / BLOCK_LEN + 2);
    std::vector<double> single(groups);
    result_lock();
    for (std::uint64_t g = 0; g < groups; g++)
        single[g] = tone_rows[newest_row() * groups + g].level;
    decay_factor = 0.5;
    result_unlock();

    run_blocks(server, 40);
    result_lock();
    for (std::uint64_t g = 0; g < groups; g++)
        EXPECT_NEAR(tone_rows[newest_row() * groups + g].level, 2.0 * single[g], 1e-6 * single[g]) << g;
    result_unlock();
}

TEST(Pipeline, ResetClearsCorrelationAndInputButKeepsRows)
{
    start_engine(16000);
    select_channels(CHANNEL_INPUT_0, CHANNEL_INPUT_1);
    ServerStandIn server;
    server.input_0 = white_noise;
    server.input_1 = white_noise;
    run_blocks(server, 3);
    server.run(3 * 256);  // 256 engine samples wait in the input rings

    const std::uint64_t groups = group_count();
    result_lock();
    const std::vector<ToneEntry> rows(tone_rows, tone_rows + 256 * groups);
    result_unlock();
    audio_lock();
    ASSERT_EQ(ring_fill(in_ring_0, RingReader::consumer), 256u);
    const std::uint64_t submitted = jobs_submitted;
    const std::uint64_t done = jobs_completed;
    audio_unlock();

    analysis_reset();

    result_lock();
    EXPECT_TRUE(std::all_of(correlation_sum, correlation_sum + window_size, [](double v) { return v == 0.0; }));
    EXPECT_TRUE(std::all_of(input_history, input_history + input_history_length, [](double v) { return v == 0.0; }));
    for (std::uint64_t i = 0; i < rows.size(); i++)
        ASSERT_EQ(tone_rows[i].level, rows[i].level) << i;
    result_unlock();
    audio_lock();
    EXPECT_EQ(ring_fill(in_ring_0, RingReader::consumer), 0u);
    EXPECT_EQ(ring_fill(in_ring_1, RingReader::consumer), 0u);
    EXPECT_EQ(jobs_submitted, submitted);
    EXPECT_EQ(jobs_completed, done);
    audio_unlock();
}

// The memory bound at the largest window, and the row bound at the default.
TEST(Pipeline, JobsInFlightStayWithinBudget)
{
    const struct { int rate; std::int64_t window; } cases[] = {
        {48000, -1},  // 16 seconds: 768000 samples, about 12 MB a job
        {16000, 0},
        {8000, 1024},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.rate);
        sample_rate = c.rate;
        window_size = c.window == -1 ? 16u * c.rate : (c.window == 0 ? 7168u : 1024u);
        input_history_length = window_size + BLOCK_LEN;
        band_count = c.rate == 48000 ? 30720 : (c.rate == 8000 ? 24576 : 27648);
        // With many workers the memory is the bound at 16 s, else the rows.
        worker_count = 200;
        std::uint64_t limit = job_limit();
        EXPECT_GE(limit, 1u);
        EXPECT_LE(limit, 255u);
        EXPECT_LE(limit * job_bytes(), JOB_MEMORY_BUDGET);
        if (c.rate == 48000)
            EXPECT_GE((limit + 1) * job_bytes(), JOB_MEMORY_BUDGET);  // the budget is used, not wasted
        else
            EXPECT_EQ(limit, 255u);
        // With few, two jobs per worker.
        worker_count = 2;
        limit = job_limit();
        EXPECT_EQ(limit, 4u);
    }
}

// Workers held back: jobs stop at the bound (here the memory, three jobs),
// further blocks are counted as skipped but still reach input_history;
// released, the analysis goes on.
TEST(Pipeline, HeldBackWorkersSkipBlocksAndResume)
{
    start_engine(16000, 0, 2, true);
    audio_lock();
    job_memory_budget = 3 * job_bytes();
    audio_unlock();
    select_channels(CHANNEL_INPUT_0, CHANNEL_INPUT_0);
    ServerStandIn server;
    // Each block carries its own number, so the newest one is easy to spot.
    const std::uint64_t block_frames = frames_for_blocks(1);
    server.input_0 = [block_frames](std::uint64_t f) { return static_cast<float>(f / block_frames) / 64.0f; };
    server.run(frames_for_blocks(14));

    ASSERT_TRUE(wait_until([] { return jobs_submitted + blocks_skipped >= 14; }));
    audio_lock();
    EXPECT_EQ(jobs_submitted, 3u);
    EXPECT_EQ(blocks_skipped, 11u);
    EXPECT_EQ(jobs_completed, 0u);
    audio_unlock();
    result_lock();
    const std::uint64_t newest = (input_history_pos + input_history_length - BLOCK_LEN) % input_history_length;
    EXPECT_EQ(input_history[newest], static_cast<double>(13.0f / 64.0f * static_cast<float>(FULL_SCALE)));
    result_unlock();

    release_workers();
    ASSERT_TRUE(wait_for_completed(3));
    server.run(frames_for_blocks(2));
    ASSERT_TRUE(wait_for_completed(5));
    audio_lock();
    EXPECT_EQ(jobs_submitted, 5u);
    EXPECT_EQ(blocks_skipped, 11u);
    audio_unlock();
}

TEST(Pipeline, NonFiniteInputLeavesResultsFinite)
{
    start_engine(16000);
    select_channels(CHANNEL_INPUT_0, CHANNEL_INPUT_1);
    ServerStandIn server;
    server.input_0 = [](std::uint64_t f) { return f % 97 == 0 ? NAN : white_noise(f); };
    server.input_1 = [](std::uint64_t f) { return f % 89 == 0 ? (f % 2 ? INFINITY : -INFINITY) : white_noise(f); };
    run_blocks(server, window_size / BLOCK_LEN + 2);

    result_lock();
    EXPECT_TRUE(std::all_of(correlation_sum, correlation_sum + window_size, [](double v) { return std::isfinite(v); }));
    for (std::uint64_t i = 0; i < 256 * group_count(); i++)
        ASSERT_TRUE(std::isfinite(tone_rows[i].level)) << i;
    result_unlock();
}

namespace {

// A loop from output_1 back to input_1, loop_frames server frames long, with
// noise played on output 0. The delay is read with "OUTPUT 0" as the main
// channel and "INPUT 0" as the correlation channel.
class Loop {
public:
    explicit Loop(std::uint64_t loop_frames) : loop_frames_(loop_frames)
    {
        select_channels(CHANNEL_OUTPUT_0, CHANNEL_INPUT_0);
        server.output_0 = [](std::uint64_t k) { return static_cast<double>(white_noise(k)) * FULL_SCALE; };
        server.input_0 = [this](std::uint64_t f) {
            return f >= loop_frames_ ? server.played_0()[f - loop_frames_] : 0.0f;
        };
    }

    // Run long enough for the whole window to hold sound from after any
    // earlier event, then read the delay of the newest job in engine samples.
    // Fed at the pace of the jobs: a block skipped for want of room could
    // leave an early job, its window still half from before, the last one.
    std::uint64_t measure()
    {
        audio_lock();
        server.max_jobs_in_flight = job_limit();
        audio_unlock();
        server.run(frames_for_blocks(window_size / BLOCK_LEN + 4));
        server.max_jobs_in_flight = 0;
        EXPECT_TRUE(wait_for_quiet());
        return window_size - 1 - strongest_correlation_index();
    }

    ServerStandIn server;

private:
    std::uint64_t loop_frames_;
};

// The delay stays the same after a Reset made while the input rings hold
// unread samples, and after the input rings overflowed while the assembler
// was held back (playback ran dry meanwhile, too).
void expect_loop_delay_holds(int rate)
{
    start_engine(rate);
    const std::uint64_t div = static_cast<std::uint64_t>(SERVER_RATE / rate);
    Loop loop(1200 * div);
    // Playback runs one group behind the ring, so the loop reads one sample longer.
    const std::uint64_t before = loop.measure();
    EXPECT_EQ(before, 1201u);

    loop.server.run(3 * 256 * div);  // some hundreds of samples wait unread
    audio_lock();
    EXPECT_GE(ring_fill(in_ring_0, RingReader::consumer), 256u);
    audio_unlock();
    analysis_reset();
    EXPECT_EQ(loop.measure(), before) << "after a reset";

    loop.server.keep_pace = false;
    result_lock();  // the assembler stalls on its next block
    // Feed until the input rings are full (a busy machine may let the
    // assembler take its last block late), then overflow them.
    bool full = false;
    for (int block = 0; block < 24 && !full; block++) {
        loop.server.run(frames_for_blocks(1));
        audio_lock();
        full = ring_free(in_ring_0, RingReader::consumer) == 0;
        audio_unlock();
    }
    loop.server.run(frames_for_blocks(4));
    result_unlock();
    EXPECT_TRUE(full);
    loop.server.keep_pace = true;
    EXPECT_EQ(loop.measure(), before) << "after an overflow";
}

}  // namespace

TEST(Pipeline, LoopDelayHoldsThroughResetAndOverflow) { expect_loop_delay_holds(48000); }
TEST(Pipeline, LoopDelayHoldsThroughResetAndOverflowAtRateDiv3) { expect_loop_delay_holds(16000); }
