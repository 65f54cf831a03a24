#include "engine/sub_step_search.h"

#include "engine/band_table.h"
#include "engine/engine_types.h"
#include "engine/tone_level.h"

#include <QString>

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <ostream>
#include <string>
#include <vector>

namespace {

constexpr double AMPLITUDE = 1e4;
constexpr double FAR_SIDE_LOBES = 2e-3;
constexpr double FAR_SIDE_LOBE_SHARE = 0.8;
// The search exists to cost a fraction of the exhaustive one, which probes
// all 256 sub-steps over the whole window. It costs 22 to 45 such probes per
// group on average on these tones (a single search up to 216, next to a
// lobe's edge); a quarter of 256 leaves room for changes to the walk while a
// return to probing everything fails.
constexpr double MOST_PROBES_PER_GROUP = BANDS_PER_GROUP / 4.0;

// The band table of one engine rate.
struct Grid {
    explicit Grid(int rate_hz) : table(make_band_table(rate_hz)), rate(rate_hz) {}
    double step(std::uint64_t band) const { return table.freq[band] / static_cast<double>(rate); }

    BandTable table;
    int rate;
};

// A window of samples and the group being searched, measured as the
// detector measures a job's window.
struct Probed {
    const Grid *grid;
    const std::vector<double> *samples;
    std::uint64_t first_band;
    std::uint64_t full_probes = 0;     // probes over the whole window
    std::uint64_t short_samples = 0;   // samples of the shorter probes
};

SubStepProbe probe(std::uint64_t sub_step, std::uint64_t length, void *context)
{
    auto *p = static_cast<Probed *>(context);
    if (length == p->samples->size())
        p->full_probes++;
    else
        p->short_samples += length;
    const double step = p->grid->step(p->first_band + sub_step);
    const ToneSums sums = tone_sums(p->samples->data() + (p->samples->size() - length), length, step);
    double level;
    level_of_sums(sums, length, &level);
    return {level, std::hypot(sums.c, sums.s) / (static_cast<double>(length) * 0.5)};
}

SubStepGroup group_of(Probed &probed)
{
    const std::uint64_t top = probed.first_band + BANDS_PER_GROUP - 1;
    return {probed.samples->size(), probed.grid->step(top) - probed.grid->step(top - 1), probe, &probed};
}

double coarse_level(const Grid &grid, const std::vector<double> &samples, std::uint64_t band)
{
    double level;
    tone_level(samples.data(), samples.size(), &level, grid.step(band));
    return level;
}

std::uint64_t band_nearest(const Grid &grid, double hz)
{
    const std::vector<double> &freq = grid.table.freq;
    std::uint64_t best = 0;
    for (std::uint64_t b = 0; b < grid.table.count; b++) {
        if (std::fabs(std::log(freq[b] / hz)) < std::fabs(std::log(freq[best] / hz)))
            best = b;
    }
    return best;
}

struct Setting {
    const char *name;
    int rate;
    double seconds;
};

void PrintTo(const Setting &setting, std::ostream *out) { *out << setting.name; }

class StrongestSubStep : public ::testing::TestWithParam<Setting> {};

}  // namespace

// Steady cosines across the whole semitone and beyond it, in a low, a middle
// and a high octave, at several phases (the level's ripple moves with the
// phase, as from job to job): in the tone's group and in both groups beside
// it the search ends on a sub-step as strong as the strongest of all 256.
TEST_P(StrongestSubStep, MatchesEveryProbeAtEveryOffset)
{
    const Setting setting = GetParam();
    const Grid grid(setting.rate);
    const auto length = static_cast<std::uint64_t>(setting.seconds * setting.rate);
    const double octaves[] = {110.0, 440.0, 1760.0};
    const int offsets[] = {-120, -60, -5, 0, 3, 37, 90, 128, 200, 250};
    const double phases[] = {0.0, 0.9, 2.3};
    std::vector<double> samples(length);
    std::uint64_t searches = 0, full_probes = 0, short_samples = 0;
    for (double octave : octaves) {
        const std::uint64_t base = band_nearest(grid, octave);
        for (int offset : offsets) {
            const double hz = octave * std::pow(2.0, offset / 3072.0);
            for (double phase : phases) {
                for (std::uint64_t i = 0; i < length; i++)
                    samples[i] = AMPLITUDE * std::cos(2.0 * std::numbers::pi * hz * double(i) / setting.rate + phase);
                const std::uint64_t tone_group = offset < 0 ? base - BANDS_PER_GROUP : base;
                Probed in_tone_group{&grid, &samples, tone_group};
                const double tone_level = strongest_sub_step_exhaustive(group_of(in_tone_group), coarse_level(grid, samples, tone_group)).level;
                for (std::uint64_t group_base : {base - BANDS_PER_GROUP, base, base + BANDS_PER_GROUP}) {
                    SCOPED_TRACE(::testing::Message() << octave << " Hz + " << offset << " sub-steps, phase " << phase
                                                      << ", group at band " << group_base);
                    Probed probed{&grid, &samples, group_base};
                    const double coarse = coarse_level(grid, samples, group_base);
                    const RefinedBand found = find_strongest_sub_step(group_of(probed), coarse);
                    full_probes += probed.full_probes;
                    short_samples += probed.short_samples;
                    searches++;
                    Probed every{&grid, &samples, group_base};
                    const RefinedBand best = strongest_sub_step_exhaustive(group_of(every), coarse);
                    // Far side lobes, 54 dB under the tone, are narrower than a
                    // sub-step at long windows and the walk through them may
                    // stop a lobe early, where the level's ripple lifts a later one.
                    const double share = best.level >= FAR_SIDE_LOBES * tone_level ? 1.0 - 1e-9 : FAR_SIDE_LOBE_SHARE;
                    EXPECT_GE(found.level, best.level * share) << "found sub-step " << found.sub_step
                                                                << ", the strongest is " << best.sub_step;
                    ASSERT_EQ(found.level, probe(found.sub_step, length, &every).level)
                        << "the level stored is the level of the sub-step reported";
                }
            }
        }
    }
    // A shorter probe costs its share of a whole one.
    const double per_group = (static_cast<double>(full_probes) + static_cast<double>(short_samples) / length) / searches;
    RecordProperty("probes_per_group", std::to_string(per_group));
    EXPECT_LT(per_group, MOST_PROBES_PER_GROUP);
}

INSTANTIATE_TEST_SUITE_P(, StrongestSubStep,
                         ::testing::Values(Setting{"Rate16000DefaultWindow", 16000, 0.5},
                                           Setting{"Rate16000LongWindow", 16000, 16.0},
                                           Setting{"Rate48000DefaultWindow", 48000, 0.5},
                                           Setting{"Rate48000LongWindow", 48000, 8.0}),
                         [](const auto &info) { return std::string(info.param.name); });

// A tone on the grid reads its own band within a few sub-steps either way, as
// before: the strongest sub-step moves only with the tone's phase.
TEST(StrongestSubStepOnTheGrid, StaysOnItsBand)
{
    const Grid grid(48000);
    const std::uint64_t length = 24576;
    const std::uint64_t a5 = band_nearest(grid, 440.0);
    std::vector<double> samples(length);
    for (int k = 0; k < 16; k++) {
        const double phase = 2.0 * std::numbers::pi * k / 16;
        for (std::uint64_t i = 0; i < length; i++)
            samples[i] = AMPLITUDE * std::cos(2.0 * std::numbers::pi * 440.0 * double(i) / 48000 + phase);
        std::int64_t best_band = -1;
        double best_level = 0.0;
        for (std::uint64_t group_base : {a5 - BANDS_PER_GROUP, a5, a5 + BANDS_PER_GROUP}) {
            Probed probed{&grid, &samples, group_base};
            const RefinedBand found = find_strongest_sub_step(group_of(probed), coarse_level(grid, samples, group_base));
            if (found.level > best_level) {
                best_level = found.level;
                best_band = static_cast<std::int64_t>(group_base + found.sub_step);
            }
        }
        // R within +-0.016 of a semitone: 4 sub-steps.
        EXPECT_LE(std::abs(best_band - static_cast<std::int64_t>(a5)), 4) << "phase " << phase;
    }
}
