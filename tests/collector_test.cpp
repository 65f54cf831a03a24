#include "engine/collector.h"
#include "engine/engine_state.h"
#include "engine/merge_sort.h"
#include "engine/work_queue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

namespace {

constexpr std::uint64_t G = 108;  // semitone groups at 16000 Hz

// The collector's buffers, set up by hand and driven without its thread.
class Collector : public ::testing::Test {
protected:
    void SetUp() override
    {
        band_count = G * 256;
        input_history_length = 2048;
        result_row_count = 256;
        tone_rows = static_cast<ToneEntry *>(std::calloc(256 * G, sizeof(ToneEntry)));
        pitch_class_rows = static_cast<PitchClassPeak *>(std::calloc(256 * 12, sizeof(PitchClassPeak)));
    }

    // Feeds the coarse pass of a job with these group levels; returns the
    // refinement tasks it sent back.
    std::vector<BandTask *> coarse_pass(AnalysisJob *job, const std::vector<double> &levels)
    {
        job->pending = G;
        for (std::uint64_t g = 0; g < G; g++) {
            job->semitone_level[g] = levels[g];
            auto *task = static_cast<BandTask *>(std::malloc(sizeof(BandTask)));
            task->band = 256 * g;
            task->job = job;
            collect_task(task);
        }
        std::vector<BandTask *> refined;
        while (tone_queue.first != nullptr)
            refined.push_back(pop_tone_task());
        return refined;
    }

    // Completes the refinement as a tone detector would, every group moving
    // up by sub_step.
    void refinement_pass(const std::vector<BandTask *> &tasks, std::uint64_t sub_step)
    {
        for (BandTask *task : tasks) {
            task->band += sub_step;
            collect_task(task);
        }
    }

    static ToneEntry *row(std::uint64_t r) { return tone_rows + r * G; }
    static PitchClassPeak *peaks(std::uint64_t r) { return pitch_class_rows + r * 12; }
};

}  // namespace

TEST_F(Collector, RefinesStrongestGroupAndNeighbours)
{
    const struct {
        std::vector<std::uint64_t> loudest;  // groups sharing the highest level
        std::vector<std::uint64_t> dispatched;
    } cases[] = {
        {{0}, {1, 0, 2}},
        {{G - 1}, {G - 2, G - 3, G - 1}},
        {{50}, {50, 49, 51}},
        {{10, 70}, {70, 69, 71}},  // a tie goes to the higher group
    };
    std::uint64_t seq = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.dispatched[0]);
        std::vector<double> levels(G, 2.0);
        for (std::uint64_t g : c.loudest)
            levels[g] = 9.0;
        AnalysisJob *job = new_job();
        job->seq = seq++;
        const std::vector<BandTask *> refined = coarse_pass(job, levels);
        ASSERT_EQ(refined.size(), 3u);
        for (std::size_t i = 0; i < 3; i++) {
            EXPECT_EQ(refined[i]->band, 256 * c.dispatched[i]);
            EXPECT_EQ(refined[i]->job, job);
        }
        EXPECT_EQ(job->pass, 1u);
        EXPECT_EQ(job->pending, 3u);
        refinement_pass(refined, 0);
    }
    EXPECT_EQ(jobs_completed, 4u);
}

TEST_F(Collector, StrongestGroupTable)
{
    const struct { std::vector<double> levels; std::uint64_t strongest; } cases[] = {
        {{1, 2, 3, 4}, 3},
        {{4, 3, 2, 1}, 0},
        {{1, 5, 5, 2}, 2},
        {{7, 7, 7, 7}, 3},
    };
    for (const auto &c : cases)
        EXPECT_EQ(strongest_group(c.levels.data(), c.levels.size()), c.strongest);
}

// Coarse levels, refined bands and the finished row of the first job, which
// decays against row 255; pitch-class peaks from the finished levels.
TEST_F(Collector, FinishedRowDecaysAndFindsPeaks)
{
    for (std::uint64_t g = 0; g < G; g++)
        row(255)[g].level = 2.0;
    decay_factor = 0.5;

    // A rising ramp has no local peak; a bump at group 13 makes one in B flat.
    std::vector<double> levels(G);
    for (std::uint64_t g = 0; g < G; g++)
        levels[g] = 1.0 + static_cast<double>(g);
    levels[13] = 1000.0;

    AnalysisJob *job = new_job();
    job->seq = 0;
    const std::vector<BandTask *> refined = coarse_pass(job, levels);
    for (std::uint64_t g = 0; g < G; g++) {
        EXPECT_EQ(row(0)[g].level, levels[g]) << g;
        EXPECT_EQ(row(0)[g].band, 256.0 * g) << g;
    }
    refinement_pass(refined, 37);
    EXPECT_EQ(jobs_completed, 1u);

    for (std::uint64_t g = 0; g < G; g++) {
        EXPECT_EQ(row(0)[g].level, levels[g] + 1.0) << g;
        EXPECT_EQ(row(0)[g].reserved, 0.0);
        const bool refined_group = g >= 12 && g <= 14;
        EXPECT_EQ(row(0)[g].band, 256.0 * g + (refined_group ? 37 : 0)) << g;
    }
    for (int p = 0; p < 12; p++) {
        SCOPED_TRACE(p);
        EXPECT_EQ(peaks(0)[p].pitch_class, p);
        EXPECT_EQ(peaks(0)[p].level, p == 1 ? 1001.0 : 0.0);
        EXPECT_EQ(peaks(0)[p].band, p == 1 ? 256.0 * 13 + 37 : 0.0);
    }
}

// Among equal peaks of one pitch class the highest group wins.
TEST_F(Collector, EqualPeaksOfAClassGoToTheHighestGroup)
{
    std::vector<double> levels(G, 1.0);
    levels[25] = 8.0;  // B flat, two octaves apart
    levels[49] = 8.0;
    AnalysisJob *job = new_job();
    job->seq = 0;
    refinement_pass(coarse_pass(job, levels), 0);
    EXPECT_EQ(peaks(0)[1].level, 8.0);
    EXPECT_EQ(peaks(0)[1].band, 256.0 * 49);
}

TEST(MergeSort, StableAgainstReference)
{
    struct Item {
        int key;
        int order;
    };
    auto by_key = [](const void *a, const void *b) {
        const int x = static_cast<const Item *>(a)->key;
        const int y = static_cast<const Item *>(b)->key;
        return (x > y) - (x < y);
    };
    std::srand(11);
    for (std::size_t count : {0u, 1u, 2u, 3u, 7u, 64u, 120u, 1001u}) {
        std::vector<Item> items(count);
        for (std::size_t i = 0; i < count; i++)
            items[i] = {std::rand() % 10, static_cast<int>(i)};
        std::vector<Item> expected = items;
        std::stable_sort(expected.begin(), expected.end(),
                         [](const Item &a, const Item &b) { return a.key < b.key; });
        ASSERT_EQ(mergesort(items.data(), count, sizeof(Item), by_key), 0);
        for (std::size_t i = 0; i < count; i++) {
            ASSERT_EQ(items[i].key, expected[i].key) << count << " " << i;
            ASSERT_EQ(items[i].order, expected[i].order) << count << " " << i;
        }
    }
}
