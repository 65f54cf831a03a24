#include "engine/band_table.h"

#include "engine/engine.h"

#include <gtest/gtest.h>

#include <QString>

#include <chrono>
#include <cmath>
#include <ostream>

namespace {

struct RateCase {
    int rate;
    double high_octaves;
    std::uint64_t band_count;
    const char *last_name;  // the A flat just below the highest A
};

// Names the ctest entries after the rate.
void PrintTo(const RateCase &c, std::ostream *os) { *os << c.rate << " Hz"; }

class BandTableAtRate : public testing::TestWithParam<RateCase> {};

}  // namespace

TEST_P(BandTableAtRate, CoversFromLowAToJustBelowTopA)
{
    const RateCase &c = GetParam();
    const OctaveCounts octaves = count_octaves(c.rate);
    EXPECT_EQ(octaves.low, 5.0);
    EXPECT_EQ(octaves.high, c.high_octaves);

    const BandTable table = make_band_table(c.rate);
    const std::uint64_t band_count = table.count;
    const double *band_freq = table.freq.data();
    const QString *band_name = table.name.data();

    ASSERT_EQ(band_count, c.band_count);
    ASSERT_EQ(table.freq.size(), band_count);
    ASSERT_EQ(table.name.size(), band_count);
    EXPECT_EQ(table.third_octave.size(), c.band_count / 256);
    EXPECT_EQ(band_freq[0], 13.75);
    EXPECT_EQ(band_freq[15360], 440.0);
    const double top = band_freq[band_count - 1];
    EXPECT_NEAR(top, 440.0 * std::pow(2.0, c.high_octaves - 1.0 / 3072), 1e-12 * top);
    EXPECT_LT(top, c.rate * 0.5);
    // Every neighbour pair 1/3072 octave apart: catches a gap or a stale entry.
    const double ratio = std::pow(2.0, 1.0 / 3072);
    for (std::uint64_t i = 1; i < band_count; i++)
        ASSERT_NEAR(band_freq[i] / band_freq[i - 1], ratio, 1e-12) << "band " << i;

    EXPECT_EQ(band_name[0], "A0");
    EXPECT_EQ(band_name[1], "A0.128");
    EXPECT_EQ(band_name[15360], "A5");
    EXPECT_EQ(band_name[band_count - 1], c.last_name);
}

INSTANTIATE_TEST_SUITE_P(
    AcceptedRates, BandTableAtRate,
    testing::Values(RateCase{8000, 3, 24576, "A8B.255"}, RateCase{9600, 3, 24576, "A8B.255"},
                    RateCase{12000, 3, 24576, "A8B.255"}, RateCase{16000, 4, 27648, "A9B.255"},
                    RateCase{24000, 4, 27648, "A9B.255"}, RateCase{48000, 5, 30720, "A10B.255"}),
    [](const testing::TestParamInfo<RateCase> &info) { return std::to_string(info.param.rate); });

// The high count steps up only once half the rate is strictly above the next A.
TEST(BandTable, OctavesAboveAtRatesTooLowToUse)
{
    const struct { int rate; double high; } cases[] = {
        {0, -1}, {880, -1}, {1760, 0}, {1762, 1}, {3520, 1}, {3522, 2},
    };
    for (const auto &c : cases)
        EXPECT_EQ(count_octaves(c.rate).high, c.high) << c.rate << " Hz";
}

TEST(BandTable, NoOctaveAboveEndsTheProcess)
{
    EXPECT_EXIT(make_band_table(1760), testing::ExitedWithCode(1), "Invalid number of octaves");
}


// A started engine's threads serve every queue: a silent job put on job_queue
// is correlated, measured in every group and becomes a finished row.
TEST(BandTable, StartedEngineRunsAJobThroughEveryStage)
{
    Engine engine(engine_config(16000, 1024));
    engine.start();

    AnalysisJob *job = engine.new_job();
    ASSERT_NE(job, nullptr);
    job->seq = 0;
    engine.job_queue.push(job);
    ASSERT_TRUE(engine.wait_for_jobs([](const JobCounts &c) { return c.completed == 1; },
                                     std::chrono::steady_clock::now() + std::chrono::seconds(60)));
    // A silent window measures level 0, stored as 1.0, in every group.
    engine.read_results([&](const ResultView &view) {
        ASSERT_TRUE(view.row_final(0));
        for (std::uint64_t g = 0; g < engine.group_count(); g++)
            EXPECT_EQ(view.tone_row(0)[g].level, 1.0) << "group " << g;
    });
}
