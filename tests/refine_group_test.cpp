// The collector's choice of the group to refine, on windows measured by an
// engine that is never started: the test runs the coarse pass by hand.
#include "engine/collector.h"
#include "engine/engine.h"
#include "engine/pitch.h"
#include "engine/refine_group.h"
#include "engine/tone_detector.h"
#include "engine/work_queue.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <numbers>
#include <random>
#include <vector>

namespace {

constexpr int RATE = 16000;
constexpr double AMPLITUDE = 0.25 * 2147483392.0;  // a quarter of full scale in ring units

class RefineGroup : public ::testing::Test {
protected:
    std::vector<double> sine(double hz, double phase = 0.0) const
    {
        std::vector<double> w(engine.window_size());
        for (std::uint64_t i = 0; i < w.size(); i++)
            w[i] = AMPLITUDE * std::cos(2.0 * std::numbers::pi * hz * static_cast<double>(i) / RATE + phase);
        return w;
    }

    // The coarse pass's strongest group and the group chosen for refinement.
    struct Choice {
        std::uint64_t strongest;
        std::uint64_t refined;
    };
    Choice choose(const std::vector<double> &w)
    {
        AnalysisJob *job = engine.new_job();
        std::memcpy(job->samples, w.data(), w.size() * sizeof(double));
        for (std::uint64_t g = 0; g < engine.group_count(); g++) {
            BandTask task{nullptr, nullptr, g * BANDS_PER_GROUP, job};
            engine.detect_task(&task);
        }
        const std::uint64_t strongest = strongest_group(job->semitone_level, engine.group_count());
        ToneWindow prepared;
        prepared.prepare(job->samples, engine.window_size());
        const WindowProbe window = engine.window_probe(prepared);
        const std::uint64_t refined = group_to_refine(strongest, engine.group_count(), window.probe());
        engine.free_job(job);
        return {strongest, refined};
    }

    Engine engine{engine_config(RATE)};
};

}  // namespace

// A tone on the grid keeps the group the coarse pass chose, so it reads as
// before; silence too.
TEST_F(RefineGroup, ToneOnTheGridKeepsItsGroup)
{
    for (std::uint64_t g : {std::uint64_t{40}, std::uint64_t{70}, engine.group_count() - 1}) {
        SCOPED_TRACE(g);
        const Choice c = choose(sine(engine.band_freq()[g * BANDS_PER_GROUP]));
        EXPECT_EQ(c.strongest, g);
        EXPECT_EQ(c.refined, g);
    }
    const std::vector<double> silence(engine.window_size(), 0.0);
    ToneWindow prepared;
    prepared.prepare(silence.data(), silence.size());
    const WindowProbe window = engine.window_probe(prepared);
    EXPECT_EQ(group_to_refine(50, engine.group_count(), window.probe()), 50u);
}

// Sines from 55 Hz to 0.4 times the rate, on and between the grid's pitches,
// at random phases: the refinement (the chosen group and its neighbours,
// each searching the semitone above its pitch) must cover the tone. The
// coarse pass alone chose a subharmonic's or a side lobe's group for some.
TEST_F(RefineGroup, OffGridSinesAreCovered)
{
    std::mt19937 rng(21);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const double top = 0.4 * RATE;
    constexpr int SINES = 120;
    for (int t = 0; t < SINES; t++) {
        const double hz = 55.0 * std::pow(top / 55.0, (t + unit(rng)) / SINES);
        SCOPED_TRACE(hz);
        const Choice c = choose(sine(hz, 2.0 * std::numbers::pi * unit(rng)));
        const auto below = static_cast<std::int64_t>(std::floor(12.0 * std::log2(hz / A0_HZ)));  // group at or below the tone
        const auto refined = static_cast<std::int64_t>(c.refined);
        EXPECT_LE(std::llabs(refined - below), 1) << "strongest " << c.strongest;
    }
}
