#include "engine/correlation.h"
#include "engine/engine_state.h"
#include "engine/work_queue.h"

#include <gtest/gtest.h>

#include <algorithm>
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
