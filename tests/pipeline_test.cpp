// The whole analysis pipeline, fed through the exchange in periods as the
// sound server would: rings, assembler, correlation workers, tone detectors
// and collector, with their real threads.
#include "audio/analysis.h"
#include "audio/block_assembler.h"
#include "audio/rate_conversion.h"
#include "engine/collector.h"
#include "engine/engine.h"
#include "engine/engine_types.h"
#include "support/engine_fixture.h"
#include "support/loop_measure.h"
#include "support/white_noise.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

namespace {

// Frames that make this many analysis blocks at the engine rate.
std::uint64_t frames_for_blocks(const Engine &engine, std::uint64_t blocks)
{
    return blocks * BLOCK_LEN * static_cast<std::uint64_t>(SERVER_RATE / engine.sample_rate());
}

// The newest final row's tone levels.
std::vector<double> newest_levels(const Engine &engine)
{
    std::vector<double> levels;
    engine.read_results([&levels](const ResultView &view) {
        const ToneEntry *row = view.tone_row(view.newest_final());
        for (std::uint64_t g = 0; g < view.groups; g++)
            levels.push_back(row[g].level);
    });
    return levels;
}

std::uint64_t input_ring_fill(Analysis &analysis)
{
    MutexLock lock(analysis.exchange.ring_mutex);
    return ring_fill(analysis.exchange.in_ring_0, RingReader::consumer);
}

// Run whole blocks through the pipeline and wait until all their jobs are
// done. Fed no faster than the bound on jobs in flight allows, no block is
// skipped.
void run_blocks(Engine &engine, ServerStandIn &server, std::uint64_t blocks)
{
    server.max_jobs_in_flight = engine.job_limit();
    const std::uint64_t before = engine.job_counts().completed;
    server.run(frames_for_blocks(engine, blocks));
    ASSERT_TRUE(wait_for_completed(engine, before + blocks));
}

}  // namespace

// Noise on input 0 and the same noise d engine samples later on input 1, the
// later one correlated against the history of the earlier one.
void expect_peak_at_delay(int rate, std::uint64_t delay)
{
    const std::unique_ptr<Analysis> analysis = start_test_analysis(rate);
    Engine &engine = analysis->engine;
    engine.set_main_channel(CHANNEL_INPUT_0);
    engine.set_corr_channel(CHANNEL_INPUT_1);
    const std::uint64_t shift = delay * static_cast<std::uint64_t>(SERVER_RATE / rate);
    ServerStandIn server(*analysis);
    server.input_0 = white_noise;
    server.input_1 = [shift](std::uint64_t f) { return f >= shift ? white_noise(f - shift) : 0.0f; };
    run_blocks(engine, server, engine.window_size() / BLOCK_LEN + 3);
    EXPECT_EQ(correlation_peak_delay(engine), delay);
}

TEST(Pipeline, DelayedNoisePeaksAtTheDelay) { expect_peak_at_delay(16000, 160); }
TEST(Pipeline, DelayedNoisePeaksAtTheDelayAt48000) { expect_peak_at_delay(48000, 1000); }

TEST(Pipeline, Sine440IsA5)
{
    const std::unique_ptr<Analysis> analysis = start_test_analysis(16000);
    Engine &engine = analysis->engine;
    ServerStandIn server(*analysis);
    server.input_0 = [](std::uint64_t f) {
        return static_cast<float>(0.5 * std::sin(2.0 * M_PI * 440.0 * static_cast<double>(f) / SERVER_RATE));
    };
    run_blocks(engine, server, engine.window_size() / BLOCK_LEN + 2);

    PitchClassPeak found{};
    engine.read_results([&found](const ResultView &view) {
        const PitchClassPeak *peaks = view.pitch_classes(view.newest_final());
        found = *std::max_element(peaks, peaks + 12, [](const PitchClassPeak &a, const PitchClassPeak &b) {
            return a.level < b.level;
        });
    });
    EXPECT_EQ(found.pitch_class, 0.0);
    EXPECT_NEAR(found.band, 15360.0, 8.0);
}

// 437.5 Hz fits 28 whole periods in a block, so every job measures the same
// window. With decay choice 1 (0.875) the levels tend to 1 / (1 - 0.875) = 8
// times one job's levels; after 120 jobs they are within 0.875^121 (about
// 1e-7) of it.
TEST(Pipeline, DecayMultipliesConstantLevels)
{
    const std::unique_ptr<Analysis> analysis = start_test_analysis(16000, 0, 1);
    Engine &engine = analysis->engine;
    ServerStandIn server(*analysis);
    constexpr std::uint64_t block_frames = 3 * BLOCK_LEN;  // 28 periods of 437.5 Hz at 48000 Hz
    server.input_0 = [](std::uint64_t f) {
        return static_cast<float>(
            0.5 * std::sin(2.0 * M_PI * 437.5 * static_cast<double>(f % block_frames) / SERVER_RATE));
    };
    run_blocks(engine, server, engine.window_size() / BLOCK_LEN + 2);
    const std::vector<double> single = newest_levels(engine);
    engine.set_decay_choice(1);
    ASSERT_EQ(decay_for_choice(1), 0.875);

    run_blocks(engine, server, 120);
    const std::vector<double> decayed = newest_levels(engine);
    ASSERT_EQ(decayed.size(), single.size());
    for (std::uint64_t g = 0; g < single.size(); g++)
        EXPECT_NEAR(decayed[g], 8.0 * single[g], 1e-6 * single[g]) << g;
}

TEST(Pipeline, ResetClearsCorrelationAndInputButKeepsRows)
{
    const std::unique_ptr<Analysis> analysis = start_test_analysis(16000);
    Engine &engine = analysis->engine;
    engine.set_main_channel(CHANNEL_INPUT_0);
    engine.set_corr_channel(CHANNEL_INPUT_1);
    ServerStandIn server(*analysis);
    server.input_0 = white_noise;
    server.input_1 = white_noise;
    run_blocks(engine, server, 3);
    server.run(3 * 256);  // 256 engine samples wait in the input rings

    std::vector<ToneEntry> rows;
    engine.read_results([&rows](const ResultView &view) {
        rows.assign(view.tone_rows, view.tone_rows + RESULT_ROWS * view.groups);
    });
    ASSERT_EQ(input_ring_fill(*analysis), 256u);
    const JobCounts counts = engine.job_counts();

    analysis->reset();

    engine.read_results([&rows](const ResultView &view) {
        EXPECT_TRUE(std::all_of(view.correlation_sum, view.correlation_sum + view.window_size,
                                [](double v) { return v == 0.0; }));
        EXPECT_TRUE(std::all_of(view.input_history, view.input_history + view.input_history_length,
                                [](double v) { return v == 0.0; }));
        for (std::uint64_t i = 0; i < rows.size(); i++)
            ASSERT_EQ(view.tone_rows[i].level, rows[i].level) << i;
    });
    {
        MutexLock lock(analysis->exchange.ring_mutex);
        EXPECT_EQ(ring_fill(analysis->exchange.in_ring_0, RingReader::consumer), 0u);
        EXPECT_EQ(ring_fill(analysis->exchange.in_ring_1, RingReader::consumer), 0u);
    }
    EXPECT_EQ(engine.job_counts().submitted, counts.submitted);
    EXPECT_EQ(engine.job_counts().completed, counts.completed);
}

// The memory bound at the largest window, and the row bound at the default.
TEST(Pipeline, JobsInFlightStayWithinBudget)
{
    const struct { int rate; std::uint64_t window; } cases[] = {
        {48000, 16u * 48000},  // 16 seconds: 768000 samples, about 12 MB a job
        {16000, 7168},
        {8000, 1024},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.rate);
        EngineConfig config = engine_config(c.rate);
        config.window_size = c.window;
        // With many workers the memory is the bound at 16 s, else the rows.
        config.workers = 200;
        {
            const Engine engine(config);
            ASSERT_EQ(engine.band_count(), c.rate == 48000 ? 30720u : (c.rate == 8000 ? 24576u : 27648u));
            const std::uint64_t limit = engine.job_limit();
            EXPECT_GE(limit, 1u);
            EXPECT_LE(limit, 255u);
            EXPECT_LE(limit * engine.job_bytes(), JOB_MEMORY_BUDGET);
            if (c.rate == 48000)
                EXPECT_GE((limit + 1) * engine.job_bytes(), JOB_MEMORY_BUDGET);  // the budget is used, not wasted
            else
                EXPECT_EQ(limit, 255u);
        }
        // With few, two jobs per worker.
        config.workers = 2;
        EXPECT_EQ(Engine(config).job_limit(), 4u);
    }
}

// Workers held back: jobs stop at the bound (here the memory, three jobs),
// further blocks are counted as skipped but still reach input_history;
// released, the analysis goes on.
TEST(Pipeline, HeldBackWorkersSkipBlocksAndResume)
{
    Analysis analysis(engine_config(16000, 0, 2));
    Engine &engine = analysis.engine;
    engine.set_job_memory_budget(3 * engine.job_bytes());
    engine.set_main_channel(CHANNEL_INPUT_0);
    engine.set_corr_channel(CHANNEL_INPUT_0);
    analysis.assembler.start();  // the engine's stages wait for engine.start()
    ServerStandIn server(analysis);
    // Each block carries its own number, so the newest one is easy to spot.
    const std::uint64_t block_frames = frames_for_blocks(engine, 1);
    server.input_0 = [block_frames](std::uint64_t f) { return static_cast<float>(f / block_frames) / 64.0f; };
    server.run(frames_for_blocks(engine, 14));

    ASSERT_TRUE(wait_for_jobs(engine, [](const JobCounts &c) { return c.submitted + c.skipped >= 14; }));
    JobCounts counts = engine.job_counts();
    EXPECT_EQ(counts.submitted, 3u);
    EXPECT_EQ(counts.skipped, 11u);
    EXPECT_EQ(counts.completed, 0u);
    engine.read_results([](const ResultView &view) {
        const std::uint64_t n = view.input_history_length;
        const std::uint64_t newest = (view.input_history_next + n - BLOCK_LEN) % n;
        EXPECT_EQ(view.input_history[newest], static_cast<double>(13.0f / 64.0f * static_cast<float>(FULL_SCALE)));
    });

    engine.start();
    ASSERT_TRUE(wait_for_completed(engine, 3));
    server.run(frames_for_blocks(engine, 2));
    ASSERT_TRUE(wait_for_completed(engine, 5));
    counts = engine.job_counts();
    EXPECT_EQ(counts.submitted, 5u);
    EXPECT_EQ(counts.skipped, 11u);
}

TEST(Pipeline, NonFiniteInputLeavesResultsFinite)
{
    const std::unique_ptr<Analysis> analysis = start_test_analysis(16000);
    Engine &engine = analysis->engine;
    engine.set_main_channel(CHANNEL_INPUT_0);
    engine.set_corr_channel(CHANNEL_INPUT_1);
    ServerStandIn server(*analysis);
    server.input_0 = [](std::uint64_t f) { return f % 97 == 0 ? NAN : white_noise(f); };
    server.input_1 = [](std::uint64_t f) { return f % 89 == 0 ? (f % 2 ? INFINITY : -INFINITY) : white_noise(f); };
    run_blocks(engine, server, engine.window_size() / BLOCK_LEN + 2);

    engine.read_results([](const ResultView &view) {
        EXPECT_TRUE(std::all_of(view.correlation_sum, view.correlation_sum + view.window_size,
                                [](double v) { return std::isfinite(v); }));
        for (std::uint64_t i = 0; i < RESULT_ROWS * view.groups; i++)
            ASSERT_TRUE(std::isfinite(view.tone_rows[i].level)) << i;
    });
}

namespace {

// A loop from output_1 back to input_1, loop_frames server frames long, with
// noise played on output 0. The delay is read with "OUTPUT 0" as the main
// channel and "INPUT 0" as the correlation channel.
class Loop {
public:
    Loop(Analysis &analysis, std::uint64_t loop_frames)
        : server(analysis), analysis_(analysis), loop_frames_(loop_frames)
    {
        analysis_.engine.set_main_channel(CHANNEL_OUTPUT_0);
        analysis_.engine.set_corr_channel(CHANNEL_INPUT_0);
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
        const Engine &engine = analysis_.engine;
        server.max_jobs_in_flight = engine.job_limit();
        server.run(frames_for_blocks(engine, engine.window_size() / BLOCK_LEN + 4));
        server.max_jobs_in_flight = 0;
        EXPECT_TRUE(wait_for_quiet(analysis_));
        return correlation_peak_delay(engine);
    }

    ServerStandIn server;

private:
    Analysis &analysis_;
    std::uint64_t loop_frames_;
};

// The delay stays the same after a Reset made while the input rings hold
// unread samples, and after the input rings overflowed while the assembler
// was held back (playback ran dry meanwhile, too).
void expect_loop_delay_holds(int rate)
{
    const std::unique_ptr<Analysis> analysis = start_test_analysis(rate);
    const Engine &engine = analysis->engine;
    const std::uint64_t div = static_cast<std::uint64_t>(SERVER_RATE / rate);
    Loop loop(*analysis, 1200 * div);
    // Playback runs one group behind the ring, so the loop reads one sample longer.
    const std::uint64_t before = loop.measure();
    EXPECT_EQ(before, 1201u);

    loop.server.run(3 * 256 * div);  // some hundreds of samples wait unread
    EXPECT_GE(input_ring_fill(*analysis), 256u);
    analysis->reset();
    EXPECT_EQ(loop.measure(), before) << "after a reset";

    loop.server.keep_pace = false;
    bool full = false;
    // Holding the results' lock stalls the assembler on its next block (the
    // feeding below takes only the rings' lock).
    engine.read_results([&](const ResultView &) {
        // Feed until the input rings are full (a busy machine may let the
        // assembler take its last block late), then overflow them.
        for (int block = 0; block < 24 && !full; block++) {
            loop.server.run(frames_for_blocks(engine, 1));
            MutexLock lock(analysis->exchange.ring_mutex);
            full = ring_free(analysis->exchange.in_ring_0, RingReader::consumer) == 0;
        }
        loop.server.run(frames_for_blocks(engine, 4));
    });
    EXPECT_TRUE(full);
    loop.server.keep_pace = true;
    EXPECT_EQ(loop.measure(), before) << "after an overflow";
}

}  // namespace

TEST(Pipeline, LoopDelayHoldsThroughResetAndOverflow) { expect_loop_delay_holds(48000); }
TEST(Pipeline, LoopDelayHoldsThroughResetAndOverflowAtRateDiv3) { expect_loop_delay_holds(16000); }
