#include "engine/correlation.h"
#include "engine/engine_state.h"
#include "engine/work_queue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

namespace {

constexpr std::uint64_t W = 7168;

class Correlation : public ::testing::Test {
protected:
    void SetUp() override
    {
        window_size = W;
        input_history_length = W + 1024;
        band_count = 27648;
        correlation_sum = static_cast<double *>(std::calloc(W, sizeof(double)));
        std::mt19937 rng(3);
        std::uniform_real_distribution<double> dist(-1e6, 1e6);
        noise.resize(input_history_length);
        for (double &v : noise)
            v = dist(rng);
    }

    // A job whose correlation channel is the main channel delayed by d.
    AnalysisJob *delayed_job(std::uint64_t d)
    {
        AnalysisJob *job = new_job();
        std::copy(noise.begin(), noise.end(), job->samples);
        for (std::uint64_t t = 0; t < 1024; t++)
            job->reference[1023 - t] = noise[W + t - d];
        return job;
    }

    std::vector<double> noise;
};

}  // namespace

TEST_F(Correlation, PeakSitsAtTheDelay)
{
    for (std::uint64_t d : {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{160}, W - 1}) {
        SCOPED_TRACE(d);
        AnalysisJob *job = delayed_job(d);
        correlate_job(job);
        EXPECT_EQ(job->pending, band_count / 256);
        EXPECT_EQ(job->product[input_history_length + 1023], 0.0);
        const double *peak = std::max_element(correlation_sum, correlation_sum + W);
        EXPECT_EQ(static_cast<std::uint64_t>(peak - correlation_sum), W - 1 - d);
        free(job);
    }
}

TEST_F(Correlation, SilentReferenceOnlyDecays)
{
    for (std::uint64_t i = 0; i < W; i++)
        correlation_sum[i] = static_cast<double>(i);
    decay_factor = 0.5;
    AnalysisJob *job = new_job();
    std::copy(noise.begin(), noise.end(), job->samples);
    correlate_job(job);
    for (std::uint64_t i = 0; i < W; i++)
        ASSERT_EQ(correlation_sum[i], 0.5 * static_cast<double>(i)) << i;
    free(job);
}

TEST_F(Correlation, OneCoarseTaskPerGroupInOrder)
{
    AnalysisJob *job = new_job();
    ASSERT_TRUE(dispatch_coarse_tasks(job));
    for (std::uint64_t g = 0; g < band_count / 256; g++) {
        BandTask *task = pop_tone_task();
        EXPECT_EQ(task->band, 256 * g);
        EXPECT_EQ(task->job, job);
        free(task);
    }
    EXPECT_EQ(tone_queue.first, nullptr);
    free(job);
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
