#include "engine/correlation.h"
#include "engine/engine.h"
#include "engine/engine_types.h"
#include "engine/readout.h"
#include "engine/work_queue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <random>
#include <vector>

namespace {

constexpr std::uint64_t W = 7168;  // the default window at 16000 Hz

// An engine that is never started: the test plays a correlation worker.
class Correlation : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(engine.window_size(), W);
        std::mt19937 rng(3);
        std::uniform_real_distribution<double> dist(-1e6, 1e6);
        noise.resize(engine.input_history_length());
        for (double &v : noise)
            v = dist(rng);
    }

    // A job whose correlation channel is the main channel delayed by d.
    AnalysisJob *delayed_job(std::uint64_t d)
    {
        AnalysisJob *job = engine.new_job();
        std::copy(noise.begin(), noise.end(), job->samples);
        for (std::uint64_t t = 0; t < 1024; t++)
            job->reference[1023 - t] = noise[W + t - d];
        return job;
    }

    // What a worker does with a job before it hands out its tasks.
    void correlate(AnalysisJob *job)
    {
        engine.compute_lags(job);
        engine.fold_lags(job);
    }

    std::vector<double> correlation_sum() const
    {
        std::vector<double> sum;
        engine.read_results([&sum](const ResultView &view) {
            sum.assign(view.correlation_sum, view.correlation_sum + view.window_size);
        });
        return sum;
    }

    Engine engine{engine_config(16000)};
    std::vector<double> noise;
};

}  // namespace

TEST_F(Correlation, PeakSitsAtTheDelay)
{
    for (std::uint64_t d : {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{160}, W - 1}) {
        SCOPED_TRACE(d);
        AnalysisJob *job = delayed_job(d);
        correlate(job);
        EXPECT_EQ(job->pending, engine.group_count());
        EXPECT_EQ(job->product[engine.input_history_length() + 1023], 0.0);
        const std::vector<double> sum = correlation_sum();
        const auto peak = std::max_element(sum.begin(), sum.end());
        EXPECT_EQ(static_cast<std::uint64_t>(peak - sum.begin()), W - 1 - d);
        engine.free_job(job);
    }
}

// A sum of 0, 1, 2, ... (folded in with decay off), then a silent reference
// with decay choice 1 (0.875): every value only decays.
TEST_F(Correlation, SilentReferenceOnlyDecays)
{
    AnalysisJob *ramp = engine.new_job();
    for (std::uint64_t i = 0; i < W; i++)
        ramp->product[BLOCK_LEN + i] = static_cast<double>(i);
    engine.fold_lags(ramp);
    engine.free_job(ramp);
    engine.set_decay_choice(1);

    AnalysisJob *job = engine.new_job();
    std::copy(noise.begin(), noise.end(), job->samples);
    correlate(job);
    const std::vector<double> sum = correlation_sum();
    for (std::uint64_t i = 0; i < W; i++)
        ASSERT_EQ(sum[i], 0.875 * static_cast<double>(i)) << i;
    engine.free_job(job);
}

TEST_F(Correlation, OneCoarseTaskPerGroupInOrder)
{
    AnalysisJob *job = engine.new_job();
    ASSERT_TRUE(engine.dispatch_coarse_tasks(job));
    for (std::uint64_t g = 0; g < engine.group_count(); g++) {
        BandTask *task = engine.tone_queue.try_pop();
        ASSERT_NE(task, nullptr);
        EXPECT_EQ(task->band, 256 * g);
        EXPECT_EQ(task->job, job);
        // The job's own: inside its block, and freed with it.
        EXPECT_GE(reinterpret_cast<char *>(task), reinterpret_cast<char *>(job));
        EXPECT_LT(reinterpret_cast<char *>(task + 1), reinterpret_cast<char *>(job) + engine.job_bytes() + 1);
    }
    EXPECT_TRUE(engine.tone_queue.empty());
    engine.free_job(job);
}

// The spectral path against the literal one on the same history and
// reference: every lag within 1e-9 of the largest magnitude, and the largest
// and smallest lags at the same index, at the smallest, the default and the
// largest windows, for noise with a delay, a tone, a chord and silence.
TEST(CorrelationPaths, SpectralFollowsLiteral)
{
    const std::uint64_t windows[] = {1024, 7168, 24576, 786432};
    const char *const kinds[] = {"noise delayed 300", "tone", "chord", "silence"};
    double worst = 0.0;
    for (std::uint64_t w : windows) {
        const std::uint64_t n = w + 1024;
        std::mt19937 rng(static_cast<unsigned>(w));
        std::uniform_real_distribution<double> dist(-1e6, 1e6);
        for (int kind = 0; kind < 4; kind++) {
            SCOPED_TRACE(testing::Message() << kinds[kind] << ", window " << w);
            std::vector<double> samples(n, 0.0);
            for (std::uint64_t i = 0; i < n; i++) {
                if (kind == 0)
                    samples[i] = dist(rng);
                else if (kind == 1)
                    samples[i] = 1e6 * std::cos(0.0575 * double(i));
                else if (kind == 2)
                    samples[i] = 1e6 * (std::cos(0.0575 * double(i)) + std::cos(0.0724 * double(i) + 1.0) +
                                        std::cos(0.0861 * double(i) + 2.0));
            }
            // The reference: the newest block, delayed 300 samples, time-reversed.
            std::vector<double> reference(1024);
            for (std::uint64_t t = 0; t < 1024; t++)
                reference[1023 - t] = samples[w + t - std::min<std::uint64_t>(300, w - 1)];
            std::vector<double> literal(n + 1024, 0.0);
            std::vector<double> spectral(n + 1024, 0.0);
            correlate_literal(samples.data(), reference.data(), literal.data(), w);
            correlate_spectral(samples.data(), reference.data(), spectral.data(), w);

            const double *a = literal.data() + 1024;
            const double *b = spectral.data() + 1024;
            double largest = 0.0;
            for (std::uint64_t i = 0; i < w; i++)
                largest = std::max(largest, std::fabs(a[i]));
            for (std::uint64_t i = 0; i < w; i++) {
                ASSERT_LE(std::fabs(a[i] - b[i]), 1e-9 * largest) << "lag index " << i;
                if (largest > 0.0)
                    worst = std::max(worst, std::fabs(a[i] - b[i]) / largest);
            }
            EXPECT_EQ(std::max_element(a, a + w) - a, std::max_element(b, b + w) - b);
            EXPECT_EQ(std::min_element(a, a + w) - a, std::min_element(b, b + w) - b);
        }
    }
    std::printf("largest difference, relative to the largest lag: %.3g\n", worst);
}

// The one arg-max and arg-min (readout.h): the first of equals, and a NaN
// never wins over the value before it; the index-to-delay flip.
TEST(CorrelationIndex, ExtremesAreTheFirstOfEqualsAndDelaysFlip)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const struct {
        std::vector<double> values;
        std::uint64_t first, last, imax, imin;
    } cases[] = {
        {{1, 3, 3, 0, 0}, 0, 4, 1, 3},
        {{1, 3, 3, 0, 0}, 2, 4, 2, 3},
        {{2, 2, 2}, 0, 2, 0, 0},
        {{7}, 0, 0, 0, 0},
        {{nan, 5, -1}, 0, 2, 0, 0},
        {{1, nan, 5, -1}, 0, 3, 2, 3},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.values));
        const IndexExtremes found = index_extremes(c.values.data(), c.first, c.last);
        EXPECT_EQ(found.imax, c.imax);
        EXPECT_EQ(found.imin, c.imin);
        const CorrelationStats stats = correlation_stats(c.values.data(), {c.first, c.last}, 64);
        EXPECT_EQ(stats.imax, c.imax);
        EXPECT_EQ(stats.lmax, delay_of_index(c.imax, 64));
        EXPECT_EQ(stats.lmin, delay_of_index(c.imin, 64));
    }
    EXPECT_EQ(delay_of_index(0, 1024), 1023u);
    EXPECT_EQ(delay_of_index(1023, 1024), 0u);
    EXPECT_EQ(delay_of_index(863, 1024), 160u);
}

// The fold notes its extremes by the same rule: of two equal greatest lags
// the first index, of two equal smallest the first.
TEST(CorrelationIndex, FoldNotesTheFirstOfEqualExtremes)
{
    EngineConfig config = engine_config(16000);
    config.window_size = 1024;
    Engine engine(config);
    AnalysisJob *job = engine.new_job();
    ASSERT_NE(job, nullptr);
    double *lags = job->product + BLOCK_LEN;
    lags[100] = 9.0;
    lags[700] = 9.0;
    lags[300] = -4.0;
    lags[900] = -4.0;
    engine.fold_lags(job);
    engine.read_results([&](const ResultView &view) {
        const CorrelationPeak &peak = view.correlation_peak(0);
        EXPECT_EQ(peak.imax, 100u);
        EXPECT_EQ(peak.imin, 300u);
        EXPECT_EQ(peak.max_value, 9.0);
        EXPECT_EQ(peak.min_value, -4.0);
        const IndexExtremes found = index_extremes(view.correlation_sum, 0, view.window_size - 1);
        EXPECT_EQ(found.imax, peak.imax);
        EXPECT_EQ(found.imin, peak.imin);
    });
    engine.free_job(job);
}
