#include "engine/band_table.h"

#include "engine/engine_state.h"
#include "engine/work_queue.h"

#include <gtest/gtest.h>

#include <QString>

#include <cmath>
#include <cstdlib>
#include <ostream>
#include <set>

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

    sample_rate = c.rate;
    worker_count = 0;  // the table alone; the detectors have a test of their own
    band_table_setup();

    ASSERT_EQ(band_count, c.band_count);
    EXPECT_EQ(group_count(), c.band_count / 256);
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
    sample_rate = 1760;
    worker_count = 0;
    EXPECT_EXIT(band_table_setup(), testing::ExitedWithCode(1), "Invalid number of octaves");
}


// The threads the set-up starts take tasks from tone_queue and hand every
// one on to collect_queue.
TEST(BandTable, SetupStartsDetectorsServingToneQueue)
{
    sample_rate = 16000;
    worker_count = 2;
    window_size = 1024;
    input_history_length = window_size + BLOCK_LEN;
    band_table_setup();

    AnalysisJob *job = new_job();
    ASSERT_NE(job, nullptr);
    const std::uint64_t groups = group_count();
    for (std::uint64_t g = 0; g < groups; g++) {
        auto *task = static_cast<BandTask *>(std::malloc(sizeof(BandTask)));
        task->band = g * BANDS_PER_GROUP;
        task->job = job;
        push_tone_task(task);
    }
    std::set<std::uint64_t> bands;
    for (std::uint64_t g = 0; g < groups; g++) {
        BandTask *task = pop_collect_task();
        EXPECT_EQ(task->job, job);
        bands.insert(task->band);
        std::free(task);
    }
    EXPECT_EQ(bands.size(), groups);
    EXPECT_EQ(*bands.rbegin(), (groups - 1) * BANDS_PER_GROUP);
    // A silent window measures level 0, stored as 1.0, in every group.
    for (std::uint64_t g = 0; g < groups; g++)
        EXPECT_EQ(job->semitone_level[g], 1.0) << "group " << g;
    std::free(job);
}
