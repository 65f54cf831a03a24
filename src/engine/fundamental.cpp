#include "engine/fundamental.h"

#include "engine/engine_types.h"
#include "engine/pitch.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace {

constexpr double A0_HZ = 13.75;
constexpr double BANDS_PER_OCTAVE = PITCH_CLASS_COUNT * BANDS_PER_GROUP;
// Spectrum probes hold this many cycles: the main lobe then reaches from one
// tempered pitch to the next, so every tone shows in its nearest group.
constexpr double SPECTRUM_CYCLES = 17.0;
constexpr std::uint64_t SHORTEST_PROBE = 32;
// Nothing above this (cycles per sample) is trusted: folded or filtered away.
constexpr double HIGHEST_STEP = 0.45;
// A level rides between the magnitude and sqrt(2) times it; the middle.
constexpr double LEVEL_PER_MAGNITUDE = 1.2;
// Fundamentals from A0 (27.5 Hz) up.
constexpr std::uint64_t LOWEST_GROUP = 12;
constexpr int PARTIALS = 10;
// A partial's magnitude, over the spectrum's floor for its probe length, must
// reach this for the tone to count: white noise's strongest group stays near
// three times its median.
constexpr double PROMINENCE = 12.0;
// Partials this far below the floor count for nothing in the summation.
constexpr double FLOOR_MARGIN = 3.0;
// The fundamental's own lobe is measured when it holds this share of the
// strongest partial; weaker, the strongest partial is measured instead.
constexpr double OWN_LOBE_SHARE = 0.2;
// Probes per stage of the peak's climb, and how much longer each stage's
// window is than the last.
constexpr int STAGE_PROBES = 2;  // either side of the centre
constexpr double STAGE_GROWTH = 4.0;
// The first stage looks this far either side of the partial's group: half a
// semitone, and vibrato or stretch beyond.
constexpr double FIRST_REACH = 192.0;
// Halvings of the final parabola's spacing.
constexpr int POLISH_STEPS = 3;
// The first zero of a window's main lobe lies about this many bands from its
// peak, over the window's length in cycles.
constexpr double LOBE_BANDS = BANDS_PER_OCTAVE / std::numbers::ln2;

struct Spectrum {
    double magnitude[MAX_GROUP_COUNT];  // per group, 0 where untrusted
    double floor[MAX_GROUP_COUNT];      // noise magnitude expected at that group's probe length
    std::uint64_t top;                  // groups below this are trusted
};

std::uint64_t spectrum_length(double step, std::uint64_t window)
{
    const auto cycles = static_cast<std::uint64_t>(std::ceil(SPECTRUM_CYCLES / step));
    return std::clamp(cycles, std::min(SHORTEST_PROBE, window), window);
}

// Noise measured over L samples falls as 1 / sqrt(L): the floor is the
// median of magnitude * sqrt(L), brought back to each group's length.
Spectrum measure_spectrum(const double *levels, std::uint64_t groups, const BandProbe &probe)
{
    Spectrum s{};
    double scaled[MAX_GROUP_COUNT];
    double root_length[MAX_GROUP_COUNT];
    s.top = 0;
    // Past the table too: the top group's tones reach up to the next pitch.
    for (std::uint64_t g = 0; g < MAX_GROUP_COUNT; g++) {
        const double step = probe.step(static_cast<double>(g * BANDS_PER_GROUP), probe.context);
        if (step >= HIGHEST_STEP)
            break;
        const std::uint64_t length = spectrum_length(step, probe.window);
        // The coarse pass already measured the whole window there.
        s.magnitude[g] = length == probe.window && g < groups ? levels[g] / LEVEL_PER_MAGNITUDE : probe.magnitude(step, length, probe.context);
        root_length[g] = std::sqrt(static_cast<double>(length));
        scaled[g] = s.magnitude[g] * root_length[g];
        s.top = g + 1;
    }
    double sorted[MAX_GROUP_COUNT];
    std::copy_n(scaled, s.top, sorted);
    std::nth_element(sorted, sorted + s.top / 2, sorted + s.top);
    const double median = s.top > 0 ? sorted[s.top / 2] : 0.0;
    for (std::uint64_t g = 0; g < s.top; g++)
        s.floor[g] = median / root_length[g];
    return s;
}

// Where partial k of a fundamental in group c falls: the group at or below
// and the one above (the same when it lies on a group).
struct PartialGroups {
    std::int64_t low;
    std::int64_t high;
};

PartialGroups partial_groups(std::uint64_t c, int k)
{
    const double at = static_cast<double>(c) + PITCH_CLASS_COUNT * std::log2(k);
    const double nearest = std::round(at);
    if (std::fabs(at - nearest) < 0.25)
        return {static_cast<std::int64_t>(nearest), static_cast<std::int64_t>(nearest)};
    return {static_cast<std::int64_t>(std::floor(at)), static_cast<std::int64_t>(std::ceil(at))};
}

// Partial k's magnitude above the floor, and the group it showed in; 0 when
// beyond the trusted spectrum.
struct Partial {
    double excess;
    std::int64_t group;
};

Partial partial(const Spectrum &s, std::uint64_t c, int k)
{
    const PartialGroups at = partial_groups(c, k);
    Partial best{0.0, at.low};
    for (std::int64_t g = at.low; g <= at.high; g++) {
        if (g < 0 || g >= static_cast<std::int64_t>(s.top))
            continue;
        const double excess = s.magnitude[g] - FLOOR_MARGIN * s.floor[g];
        if (excess > best.excess)
            best = {excess, g};
    }
    return best;
}

// Summation weights fall slowly enough that a missing fundamental's upper
// partials still outweigh the octave above, and fast enough that a pure
// tone's subharmonics, meeting it as their second or third partial, lose.
double salience(const Spectrum &s, std::uint64_t c)
{
    double sum = 0.0;
    for (int k = 1; k <= PARTIALS; k++)
        sum += partial(s, c, k).excess / std::sqrt(static_cast<double>(k));
    return sum;
}

double magnitude_at(double band, std::uint64_t length, const BandProbe &probe)
{
    return probe.magnitude(probe.step(band, probe.context), length, probe.context);
}

// The vertex of the parabola through (-h, a), (0, b), (h, c), kept within h.
double vertex(double a, double b, double c, double h)
{
    const double curve = a - 2.0 * b + c;
    if (!(curve < 0.0))
        return a > c ? -h : (c > a ? h : 0.0);
    return std::clamp(0.5 * h * (a - c) / curve, -h, h);
}

// The magnitude's peak near `band`: each stage probes a few points across
// the reach the last stage left, on a window STAGE_GROWTH times longer, up
// to the whole window; then parabolas on ever closer points.
double climb_to_peak(double band, const BandProbe &probe)
{
    double reach = FIRST_REACH;
    double length = SPECTRUM_CYCLES / probe.step(band, probe.context);
    for (;;) {
        const auto whole = static_cast<std::uint64_t>(std::clamp(length, static_cast<double>(std::min(SHORTEST_PROBE, probe.window)),
                                                                  static_cast<double>(probe.window)));
        const double lobe = LOBE_BANDS / (static_cast<double>(whole) * probe.step(band, probe.context));
        const double spacing = std::min(lobe / 2.0, reach / STAGE_PROBES);
        double m[2 * STAGE_PROBES + 1];
        int best = 0;
        for (int i = 0; i <= 2 * STAGE_PROBES; i++) {
            m[i] = magnitude_at(band + (i - STAGE_PROBES) * spacing, whole, probe);
            if (m[i] > m[best])
                best = i;
        }
        if (best == 0 || best == 2 * STAGE_PROBES) {
            band += (best - STAGE_PROBES) * spacing;
        } else {
            band += (best - STAGE_PROBES) * spacing + vertex(m[best - 1], m[best], m[best + 1], spacing);
        }
        if (whole == probe.window) {
            double h = spacing / 4.0;
            for (int i = 0; i < POLISH_STEPS; i++) {
                const double a = magnitude_at(band - h, whole, probe);
                const double b = magnitude_at(band, whole, probe);
                const double c = magnitude_at(band + h, whole, probe);
                band += vertex(a, b, c, h);
                h /= 4.0;
            }
            return band;
        }
        reach = lobe / 2.0;
        length *= STAGE_GROWTH;
    }
}

}  // namespace

FundamentalReading fundamental_at_band(double band)
{
    const double semitones = band / BANDS_PER_GROUP;
    const double nearest = std::round(semitones);
    return {true, band, A0_HZ * std::exp2(band / BANDS_PER_OCTAVE), GROUP_0_NOTE + static_cast<std::int64_t>(nearest),
            100.0 * (semitones - nearest)};
}

FundamentalReading find_fundamental(const double *group_levels, std::uint64_t groups, const BandProbe &probe)
{
    const FundamentalReading none{false, 0.0, 0.0, 0, 0.0};
    const Spectrum s = measure_spectrum(group_levels, groups, probe);
    std::uint64_t chosen = 0;
    double best = 0.0;
    for (std::uint64_t c = LOWEST_GROUP; c < s.top; c++) {
        const double v = salience(s, c);
        if (v > best) {
            best = v;
            chosen = c;
        }
    }
    if (best <= 0.0)
        return none;

    // The partial that carries the choice must stand out of the floor.
    int strongest = 1;
    Partial strongest_partial = partial(s, chosen, 1);
    for (int k = 2; k <= PARTIALS; k++) {
        const Partial p = partial(s, chosen, k);
        if (p.excess > strongest_partial.excess) {
            strongest = k;
            strongest_partial = p;
        }
    }
    const auto g = static_cast<std::uint64_t>(strongest_partial.group);
    if (!(s.floor[g] > 0.0) || s.magnitude[g] < PROMINENCE * s.floor[g])
        return none;

    int measured = strongest;
    Partial own = partial(s, chosen, 1);
    if (own.excess >= OWN_LOBE_SHARE * strongest_partial.excess)
        measured = 1;
    const double start = measured == 1 ? static_cast<double>(chosen * BANDS_PER_GROUP)
                                       : static_cast<double>(chosen * BANDS_PER_GROUP) + BANDS_PER_OCTAVE * std::log2(measured);
    const double peak = climb_to_peak(start, probe);
    const double band = peak - BANDS_PER_OCTAVE * std::log2(measured);
    if (band < 0.0)
        return none;
    return fundamental_at_band(band);
}
