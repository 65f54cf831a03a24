#include "engine/collector.h"
#include "engine/engine.h"
#include "engine/engine_types.h"
#include "engine/fundamental.h"
#include "engine/local_peak.h"
#include "engine/pitch.h"
#include "engine/readout.h"
#include "engine/work_queue.h"
#include "support/offline_job.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <vector>

namespace {

constexpr std::uint64_t G = 108;  // semitone groups at 16000 Hz

// An engine that is never started: the test plays its collector thread.
class Collector : public ::testing::Test {
protected:
    static EngineConfig config()
    {
        EngineConfig c = engine_config(16000);
        c.window_size = 1024;
        return c;
    }

    // A fresh job numbered seq.
    AnalysisJob *job_numbered(std::uint64_t seq)
    {
        AnalysisJob *job = engine.new_job();
        job->seq = seq;
        return job;
    }

    // Feeds the coarse pass of a job with these group levels; returns the
    // refinement tasks it sent back.
    std::vector<BandTask *> coarse_pass(AnalysisJob *job, const std::vector<double> &levels)
    {
        job->pending = G;
        for (std::uint64_t g = 0; g < G; g++) {
            job->semitone_level[g] = levels[g];
            BandTask *task = engine.new_task(256 * g, job);
            EXPECT_NE(task, nullptr);
            if (task == nullptr)
                return {};
            engine.collect_task(task);
        }
        std::vector<BandTask *> refined;
        while (BandTask *task = engine.tone_queue.try_pop())
            refined.push_back(task);
        return refined;
    }

    // Completes the refinement as a tone detector would, every group moving
    // up by sub_step (the fundamental's task, last, as it was).
    void refinement_pass(const std::vector<BandTask *> &tasks, std::uint64_t sub_step)
    {
        for (BandTask *task : tasks) {
            if (task->band != FUNDAMENTAL_TASK)
                task->band += sub_step;
            engine.collect_task(task);
        }
    }

    std::vector<ToneEntry> row(std::uint64_t seq) const
    {
        std::vector<ToneEntry> entries;
        engine.read_results([&](const ResultView &view) {
            entries.assign(view.tone_row(seq), view.tone_row(seq) + G);
        });
        return entries;
    }

    std::vector<PitchClassPeak> peaks(std::uint64_t seq) const
    {
        std::vector<PitchClassPeak> entries;
        engine.read_results([&](const ResultView &view) {
            entries.assign(view.pitch_classes(seq), view.pitch_classes(seq) + 12);
        });
        return entries;
    }

    std::uint64_t completed() const { return engine.job_counts().completed; }

    Engine engine{config()};
};

}  // namespace

TEST_F(Collector, RefinesStrongestGroupAndNeighbours)
{
    ASSERT_EQ(engine.group_count(), G);
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
        AnalysisJob *job = job_numbered(seq++);
        const std::vector<BandTask *> refined = coarse_pass(job, levels);
        ASSERT_EQ(refined.size(), 4u);
        for (std::size_t i = 0; i < 3; i++)
            EXPECT_EQ(refined[i]->band, 256 * c.dispatched[i]);
        EXPECT_EQ(refined[3]->band, FUNDAMENTAL_TASK);
        for (const BandTask *task : refined)
            EXPECT_EQ(task->job, job);
        // The fundamental reads the coarse levels, which the refinement overwrites.
        EXPECT_TRUE(std::equal(levels.begin(), levels.end(), job->coarse_level));
        EXPECT_EQ(job->pass, 1u);
        EXPECT_EQ(job->pending, 4u);
        refinement_pass(refined, 0);
    }
    EXPECT_EQ(completed(), 4u);
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

// Coarse levels, refined bands and the finished row of job 1, which decays
// against job 0's row of 2.0 everywhere (made with decay off); pitch-class
// peaks from the finished levels. Decay choice 1 is 1 - 1/8 = 0.875, so
// every level rises by 1.75.
TEST_F(Collector, FinishedRowDecaysAndFindsPeaks)
{
    refinement_pass(coarse_pass(job_numbered(0), std::vector<double>(G, 2.0)), 0);
    ASSERT_EQ(completed(), 1u);
    engine.set_decay_choice(1);

    // A rising ramp peaks only at its top group (G sharp: it has no neighbour
    // above); a bump at group 13 makes a peak in B flat.
    std::vector<double> levels(G);
    for (std::uint64_t g = 0; g < G; g++)
        levels[g] = 1.0 + static_cast<double>(g);
    levels[13] = 1000.0;

    AnalysisJob *job = job_numbered(1);
    const std::vector<BandTask *> refined = coarse_pass(job, levels);
    const std::vector<ToneEntry> coarse = row(1);
    for (std::uint64_t g = 0; g < G; g++) {
        EXPECT_EQ(coarse[g].level, levels[g]) << g;
        EXPECT_EQ(coarse[g].band, 256.0 * g) << g;
    }
    // What the fundamental's task found goes into the row, undecayed.
    job->fundamental = fundamental_at_band(256.0 * 13 + 37.5);
    refinement_pass(refined, 37);
    EXPECT_EQ(completed(), 2u);
    engine.read_results([&](const ResultView &view) {
        EXPECT_EQ(view.fundamental(1).band, 256.0 * 13 + 37.5);
        EXPECT_TRUE(view.fundamental(1).found);
        EXPECT_FALSE(view.fundamental(0).found);
    });

    const std::vector<ToneEntry> finished = row(1);
    for (std::uint64_t g = 0; g < G; g++) {
        EXPECT_EQ(finished[g].level, levels[g] + 1.75) << g;
        EXPECT_EQ(finished[g].reserved, 0.0);
        const bool refined_group = g >= 12 && g <= 14;
        EXPECT_EQ(finished[g].band, 256.0 * g + (refined_group ? 37 : 0)) << g;
    }
    const std::vector<PitchClassPeak> found = peaks(1);
    for (int p = 0; p < 12; p++) {
        SCOPED_TRACE(p);
        EXPECT_EQ(found[p].pitch_class, p);
        const double top = static_cast<double>(G) + 1.75;  // group G - 1, decayed
        EXPECT_EQ(found[p].level, p == 1 ? 1001.75 : (p == 11 ? top : 0.0));
        EXPECT_EQ(found[p].band, p == 1 ? 256.0 * 13 + 37 : (p == 11 ? 256.0 * (G - 1) : 0.0));
    }
}

// A job is one block: its tasks lie inside it, G + 4 of them and no more,
// and a job used again has its whole room again.
TEST_F(Collector, AJobsTasksLieInItsOwnBlock)
{
    AnalysisJob *job = engine.new_job();
    ASSERT_NE(job, nullptr);
    EXPECT_EQ(job->bytes, engine.job_bytes());
    const char *begin = reinterpret_cast<const char *>(job);
    const char *end = begin + engine.job_bytes();
    for (std::uint64_t i = 0; i < G + TASKS_BEYOND_GROUPS; i++) {
        BandTask *task = engine.new_task(i, job);
        ASSERT_NE(task, nullptr) << i;
        EXPECT_GE(reinterpret_cast<const char *>(task), begin);
        EXPECT_LE(reinterpret_cast<const char *>(task + 1), end);
        EXPECT_EQ(task->band, i);
        EXPECT_EQ(task->job, job);
    }
    EXPECT_EQ(engine.new_task(0, job), nullptr);
    engine.free_job(job);
    AnalysisJob *again = engine.new_job();
    EXPECT_EQ(again, job);
    EXPECT_NE(engine.new_task(0, again), nullptr);
    engine.free_job(again);
}

// A job given up leaves a slot that reads as not measured, not as the row
// of RESULT_ROWS jobs before: not final, every level below MEASURED_LEVEL,
// no pitch-class peak, no note, no fundamental. The row after it does not
// decay across the gap: it starts afresh from its own levels; the row after
// that decays against it again.
TEST_F(Collector, GivenUpJobLeavesAnUnmeasuredRowAndNoDecayAcrossTheGap)
{
    engine.set_decay_choice(1);  // 0.875
    std::vector<double> loud(G, 2.0);
    loud[13] = 50.0;
    for (std::uint64_t seq = 0; seq < RESULT_ROWS; seq++)
        refinement_pass(coarse_pass(job_numbered(seq), loud), 0);
    ASSERT_EQ(completed(), RESULT_ROWS);

    const std::uint64_t gap = RESULT_ROWS;  // slot 0 again, which holds job 0's row
    AnalysisJob *job = job_numbered(gap);
    job->fundamental = fundamental_at_band(256.0 * 13);
    engine.abandon_job(job);
    BandTask *give_up = engine.collect_queue.try_pop();
    ASSERT_NE(give_up, nullptr);
    engine.collect_task(give_up);
    EXPECT_EQ(completed(), gap + 1);
    EXPECT_EQ(engine.job_counts().skipped, 1u);
    engine.read_results([&](const ResultView &view) {
        EXPECT_FALSE(view.row_final(gap));
        EXPECT_FALSE(view.row_final(0));
        EXPECT_TRUE(view.row_final(gap - 1));
        for (std::uint64_t g = 0; g < G; g++)
            EXPECT_LT(view.tone_row(gap)[g].level, MEASURED_LEVEL) << g;
        for (int p = 0; p < PITCH_CLASS_COUNT; p++)
            EXPECT_EQ(view.pitch_classes(gap)[p].level, 0.0) << p;
        EXPECT_FALSE(view.fundamental(gap).found);
        EXPECT_TRUE(row_note_reading(view.pitch_classes(gap), engine.band_freq()).note.isEmpty());
    });

    const std::vector<double> flat(G, 3.0);
    refinement_pass(coarse_pass(job_numbered(gap + 1), flat), 0);
    refinement_pass(coarse_pass(job_numbered(gap + 2), flat), 0);
    EXPECT_EQ(completed(), gap + 3);
    const std::vector<ToneEntry> after_gap = row(gap + 1);
    const std::vector<ToneEntry> next = row(gap + 2);
    for (std::uint64_t g = 0; g < G; g++) {
        EXPECT_EQ(after_gap[g].level, 3.0) << g;
        EXPECT_EQ(next[g].level, 3.0 * 0.875 + 3.0) << g;
    }
    engine.read_results([&](const ResultView &view) {
        EXPECT_TRUE(view.row_final(gap + 1));
        EXPECT_TRUE(view.row_final(gap + 2));
    });
}

// Among equal peaks of one pitch class the highest group wins.
TEST_F(Collector, EqualPeaksOfAClassGoToTheHighestGroup)
{
    std::vector<double> levels(G, 1.0);
    levels[25] = 8.0;  // B flat, two octaves apart
    levels[49] = 8.0;
    refinement_pass(coarse_pass(job_numbered(0), levels), 0);
    const std::vector<PitchClassPeak> found = peaks(0);
    EXPECT_EQ(found[1].level, 8.0);
    EXPECT_EQ(found[1].band, 256.0 * 49);
}

namespace {

// The rule the strongest group was once found by, sorting the row: a larger
// level is greater; when neither level is greater (equal, or a NaN) the
// larger group is.
bool sort_rule_greater(const std::vector<double> &levels, std::uint64_t a, std::uint64_t b)
{
    if (levels[a] > levels[b])
        return true;
    if (levels[b] > levels[a])
        return false;
    return a > b;
}

// The group that the sort's rule puts above every other, when there is one
// (with a NaN the rule is not transitive, and there may be none).
bool sort_rule_strongest(const std::vector<double> &levels, std::uint64_t *strongest)
{
    for (std::uint64_t a = 0; a < levels.size(); a++) {
        bool above_all = true;
        for (std::uint64_t b = 0; b < levels.size(); b++)
            above_all = above_all && (a == b || sort_rule_greater(levels, a, b));
        if (above_all) {
            *strongest = a;
            return true;
        }
    }
    return false;
}

}  // namespace

// The scan's tie rule, NaN included, against the sort's: wherever the sort's
// rule has a strongest group the scan finds it; where a NaN leaves none, the
// scan's answer is the last group that no later group ties or beats.
TEST(StrongestGroup, ScanKeepsTheSortsTieRule)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const struct {
        std::vector<double> levels;
        std::uint64_t strongest;
        bool sort_has_one;  // whether the sort's rule puts one group above all
    } cases[] = {
        {{5.0}, 0, true},
        {{1, 2, 3, 4}, 3, true},
        {{4, 3, 2, 1}, 0, true},
        {{1, 5, 5, 2}, 2, true},     // equal: the larger group
        {{7, 7, 7, 7}, 3, true},
        {{9, 1, 9, 1}, 2, true},
        {{nan}, 0, true},
        {{nan, nan}, 1, true},       // neither greater: the larger group
        {{3, nan}, 1, true},
        {{nan, 3}, 1, true},
        {{nan, 1, 2}, 2, true},
        {{1, 2, nan}, 2, true},
        {{1, 9, nan, 2}, 3, false},  // 9 beats 2, but ties the NaN, which 2 follows
        {{5, nan, 3}, 2, false},
        {{nan, 5, 3}, 1, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.levels));
        const std::uint64_t found = strongest_group(c.levels.data(), c.levels.size());
        EXPECT_EQ(found, c.strongest);
        std::uint64_t by_sort = 0;
        ASSERT_EQ(sort_rule_strongest(c.levels, &by_sort), c.sort_has_one);
        if (c.sort_has_one) {
            EXPECT_EQ(found, by_sort);
        }
        // No later group ties or beats the one found.
        for (std::uint64_t k = found + 1; k < c.levels.size(); k++) {
            EXPECT_TRUE(c.levels[found] > c.levels[k]) << k;
        }
    }
}

// A refined peak is filed under its nearest note: moved past half a
// semitone up, group 13's peak (B flat) is B's; a little way up, still B
// flat's.
TEST_F(Collector, RefinedPeakGoesToItsNearestNote)
{
    std::vector<double> levels(G, 1.0);
    levels[13] = 50.0;
    const struct {
        std::uint64_t sub_step;
        int pitch_class;
    } cases[] = {{127, 1}, {128, 2}, {200, 2}};
    std::uint64_t seq = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.sub_step);
        refinement_pass(coarse_pass(job_numbered(seq), levels), c.sub_step);
        const std::vector<PitchClassPeak> found = peaks(seq++);
        EXPECT_EQ(found[c.pitch_class].level, 50.0);
        EXPECT_EQ(found[c.pitch_class].band, 256.0 * 13 + static_cast<double>(c.sub_step));
        EXPECT_EQ(found[c.pitch_class == 1 ? 2 : 1].level, 1.0);  // the flat floor's own peaks
    }
}

// Sines a few cents either side of each of the twelve notes: the strip's
// strongest column is the played note's pitch class, and the key sent as
// MIDI (the nearest note of that column's band) is the played key. Before,
// a tone just flat of a note lit the column below.
TEST(PitchClassStrip, TonesEitherSideOfEveryNoteLightTheirOwnColumn)
{
    for (const int rate : {16000, 48000}) {
        Engine engine{engine_config(rate)};
        std::vector<double> window(engine.window_size());
        for (int key = 69; key < 69 + 12; key++) {
            for (const double cents : {-4.0, 4.0}) {
                SCOPED_TRACE(testing::Message() << rate << " Hz, key " << key << ", " << cents << " cents");
                const double hz = 440.0 * std::exp2((key - 69 + cents / 100.0) / 12.0);
                for (std::size_t i = 0; i < window.size(); i++)
                    window[i] = 1e9 * std::sin(2.0 * M_PI * hz * static_cast<double>(i) / rate);
                const OfflineRow row = analyse_window(engine, window.data(), false);
                EXPECT_EQ(row.readout_class, (key - 9) % 12);
                EXPECT_EQ(note_of_band(row.readout_band), key);
            }
        }
    }
}

// The one local-peak rule (engine/local_peak.h), with either rule for the
// edges: inner groups alike, at least each neighbour.
TEST(LocalPeak, InnerGroupsAlikeEdgesByRule)
{
    auto row_of = [](const std::vector<double> &levels) {
        std::vector<ToneEntry> row;
        for (double level : levels)
            row.push_back({level, 0.0, 0.0});
        return row;
    };
    const std::vector<ToneEntry> row = row_of({3, 1, 2, 2, 0, 4});
    const bool strip[] = {false, false, true, true, false, true};
    const bool inward[] = {true, false, true, true, false, true};
    for (std::uint64_t l = 0; l < row.size(); l++) {
        EXPECT_EQ(is_local_peak(row.data(), row.size(), l, PeakEdges::strip), strip[l]) << l;
        EXPECT_EQ(is_local_peak(row.data(), row.size(), l, PeakEdges::inward), inward[l]) << l;
    }
    // The last group compares inward with two below, the strip's with one.
    const std::vector<ToneEntry> dip = row_of({1, 5, 2, 3});
    EXPECT_TRUE(is_local_peak(dip.data(), 4, 3, PeakEdges::strip));
    EXPECT_FALSE(is_local_peak(dip.data(), 4, 3, PeakEdges::inward));
    // Tiny rows leave out the neighbours they do not have.
    const std::vector<ToneEntry> one = row_of({2});
    EXPECT_FALSE(is_local_peak(one.data(), 1, 0, PeakEdges::strip));
    EXPECT_TRUE(is_local_peak(one.data(), 1, 0, PeakEdges::inward));
    const std::vector<ToneEntry> two = row_of({1, 2});
    EXPECT_TRUE(is_local_peak(two.data(), 2, 1, PeakEdges::strip));
    EXPECT_TRUE(is_local_peak(two.data(), 2, 1, PeakEdges::inward));
    EXPECT_FALSE(is_local_peak(two.data(), 2, 0, PeakEdges::inward));
}
