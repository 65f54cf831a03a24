#include "engine/refine_group.h"

#include "engine/engine_types.h"
#include "engine/pitch.h"

#include <algorithm>
#include <cmath>

namespace {

// A triangle's harmonic n answers 1/n^2 of a tone; in a window of about half
// a second the higher ones answer too weakly to win. A longer window's side
// lobes fall with its length, so that a tone missing every nearby pitch by
// many of its narrow lobes leaves less there than a high harmonic's answer
// (a 16 s window: harmonics 29 to 47 seen winning): the harmonics looked at
// grow with the square root of the window's length, up to the highest.
constexpr int HIGHEST_HARMONIC = 21;
constexpr double HARMONIC_WINDOW_S = 0.5;
constexpr int HIGHEST_LONG_WINDOW_HARMONIC = 99;
// Groups either side of strongest whose side lobes may have lost to it.
constexpr std::int64_t SIDE_LOBE_REACH = 3;
// How much stronger the tone a harmonic's answer stands for must measure: the
// answer is at most 1/9 of it, against at least 0.64 at its nearest group.
constexpr double CLEAR_WIN = 2.5;

class Candidates {
public:
    Candidates(std::uint64_t groups, const BandProbe &probe) : groups_(static_cast<std::int64_t>(groups)), probe_(probe) {}

    // The short-window magnitude at group g's pitch; 0 outside the table or
    // at half the rate and above, where a probe measures a folded tone. One
    // group past the top counts: the top group's sub-steps reach up to it.
    double magnitude(std::int64_t g) const
    {
        if (g < 0 || g > groups_)
            return 0.0;
        const double step = probe_.step(static_cast<double>(g) * BANDS_PER_GROUP, probe_.context);
        if (!(step < 0.5))
            return 0.0;
        return probe_.magnitude(step, short_probe_length(step, probe_.window), probe_.context);
    }

    std::uint64_t group(std::int64_t g) const { return static_cast<std::uint64_t>(std::min(g, groups_ - 1)); }

private:
    const std::int64_t groups_;
    const BandProbe &probe_;
};

}  // namespace

std::uint64_t group_to_refine(std::uint64_t strongest, std::uint64_t groups, const BandProbe &probe)
{
    const Candidates candidates(groups, probe);
    const auto t = static_cast<std::int64_t>(strongest);

    // The tone's nearest group measures strongest nearby; the refinement of
    // t covers tones from t - 1 to t + 2, so t and t + 1 need no move.
    std::int64_t nearest = t;
    double nearest_magnitude = candidates.magnitude(t);
    for (std::int64_t g = t - SIDE_LOBE_REACH; g <= t + SIDE_LOBE_REACH; g++) {
        const double m = g == t ? nearest_magnitude : candidates.magnitude(g);
        if (m > nearest_magnitude) {
            nearest = g;
            nearest_magnitude = m;
        }
    }
    std::int64_t chosen = nearest == t + 1 ? t : nearest;

    // Where t would be a triangle harmonic's answer: n times its pitch, or,
    // the triangle being sampled, where that folds back from half the rate.
    const double own_step = probe.step(static_cast<double>(strongest * BANDS_PER_GROUP), probe.context);
    const double lowest_step = probe.step(0.0, probe.context);
    double best = CLEAR_WIN * nearest_magnitude;
    // Band 0 is A0, tuning aside: the window in seconds.
    const double window_s = static_cast<double>(probe.window) * lowest_step / A0_HZ;
    const int highest = std::clamp(static_cast<int>(HIGHEST_HARMONIC * std::sqrt(window_s / HARMONIC_WINDOW_S)),
                                   HIGHEST_HARMONIC, HIGHEST_LONG_WINDOW_HARMONIC);
    for (int n = 3; n <= highest; n += 2) {
        const double turns = std::fmod(n * own_step, 1.0);
        const double folded = std::min(turns, 1.0 - turns);
        if (!(folded > lowest_step))
            continue;
        const auto at = static_cast<std::int64_t>(std::lround(PITCH_CLASS_COUNT * std::log2(folded / lowest_step)));
        for (std::int64_t g = at - 1; g <= at + 1; g++) {
            const double m = candidates.magnitude(g);
            if (m > best) {
                best = m;
                chosen = g;
            }
        }
    }
    return candidates.group(chosen);
}
