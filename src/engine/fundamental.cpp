#include "engine/fundamental.h"

#include "engine/engine_types.h"
#include "engine/pitch.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace {

constexpr double BANDS_PER_OCTAVE = PITCH_CLASS_COUNT * BANDS_PER_GROUP;
// Where a spectrum probe would take this share of the window or more, the
// coarse pass's level stands in. The whole window then holds at most 25.5
// cycles, and a tone midway between two pitches keeps a third of its
// magnitude in both (longer, a window's first zero falls there).
constexpr double COARSE_SHARE = 2.0 / 3.0;
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
// Or this many of its partials must each stand this far out of the noise
// around it: noise rising toward the bass (pink) hides a low note's
// partials under PROMINENCE. Pink noise alone then reads a note from A0 to
// C#1 on 4 rows in 1200 (3 with PROMINENCE alone), white noise on none.
constexpr int CLEAR_PARTIALS = 2;
constexpr double LOCAL_PROMINENCE = 4.0;
// The triangle's harmonics whose echoes are taken away (3, 5, 7).
constexpr int ECHO_HARMONICS = 7;
// Partials this far below the floor count for nothing in the summation.
constexpr double FLOOR_MARGIN = 3.0;
// Partials count by this power of their excess over the floor: a formant's
// one loud partial then outweighs a note's other partials less, which
// read the octave or two above for a guitar's or a voice's low notes.
constexpr double SALIENCE_POWER = 0.6;
// The fundamental's own lobe is measured when it holds this share of the
// strongest partial; weaker, the strongest partial is measured instead.
constexpr double OWN_LOBE_SHARE = 0.2;
// How much longer each stage of the peak's climb measures than the last.
constexpr double STAGE_GROWTH = 4.0;
// The first stage looks this far either side of the partial's group: half a
// semitone, and vibrato or stretch beyond.
constexpr double FIRST_REACH = 192.0;
// A tone with fewer cycles than this in the whole window is measured once
// more there, on a pair of probes this many bins apart.
constexpr double CLOSE_PAIR_CYCLES = 64.0;
constexpr double CLOSE_PAIR_BINS = 0.5;
// Halvings of the interval that holds the peak: far below a cent.
constexpr int PEAK_BISECTIONS = 40;
// The first zero of a window's main lobe lies about this many bands from its
// peak, over the window's length in cycles.
constexpr double LOBE_BANDS = BANDS_PER_OCTAVE / std::numbers::ln2;
// A choice an octave above the note: a string's or a voice's low note whose
// fundamental and odd partials are weak beside its second, which then leads
// the summation. The octave below is taken when it sums nearly as high
// (its own candidate a clear octave below sums to 1 / sqrt(2) of the choice
// from the shared partials alone) and the half-multiples of the measured
// frequency, measured on the whole window where neighbouring partials leak
// little into them, hold this share of the power of the whole multiples
// once the noise around each is taken away: a lone harmonic tone leaves
// them at leakage and noise, mostly 30 dB below.
constexpr double LOWER_SALIENCE_SHARE = 0.75;
constexpr double HALF_MULTIPLE_SHARE = 0.0063;  // -22 dB
// Half and whole multiples from f / 2 to 3 f.
// A lone partial is no note's second: the whole multiples past the
// strongest must hold this share of their power (-30 dB), which a sine's
// leakage, a short burst's included, does not reach.
constexpr double OTHER_WHOLE_SHARE = 0.001;
constexpr int HALF_MULTIPLES = 6;
// Noise power is taken away twice over: what stays is more than noise.
// (Less lets pink noise at 0 dB lend a low note its octave below, more
// hides a bass note's odd partials under it.)
constexpr double NOISE_MARGIN = 2.0;
// The noise around a multiple: the median level of the groups this far
// either side, which a low note's few partials there do not move.
constexpr std::int64_t NOISE_REACH = 6;

struct Spectrum {
    double magnitude[MAX_GROUP_COUNT];  // per group, echoes taken away; 0 where untrusted
    double floor[MAX_GROUP_COUNT];      // noise magnitude expected at that group's probe length
    double whole_floor;                 // noise magnitude expected on the whole window
    std::uint64_t top;                  // groups below this are trusted
};

// The triangle kernel answers to a tone at j times a group's pitch (j odd)
// with 1 / j^2 of its magnitude: every tone shows weakly a twelfth, two
// octaves and a third ... below it, where it would lend a subharmonic its
// first partial. Each group loses the echo of the strongest group at or
// beside j times its pitch.
void take_away_echoes(Spectrum &s)
{
    double raw[MAX_GROUP_COUNT];
    std::copy_n(s.magnitude, s.top, raw);
    for (std::uint64_t g = 0; g < s.top; g++) {
        double echo = 0.0;
        for (int j = 3; j <= ECHO_HARMONICS; j += 2) {
            const double at = static_cast<double>(g) + PITCH_CLASS_COUNT * std::log2(j);
            double source = 0.0;
            for (auto h = static_cast<std::uint64_t>(std::floor(at)); h <= static_cast<std::uint64_t>(std::ceil(at)) && h < s.top; h++)
                source = std::max(source, raw[h]);
            echo += source / (j * j);
        }
        s.magnitude[g] = std::max(0.0, raw[g] - echo);
    }
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
        std::uint64_t length = short_probe_length(step, probe.window);
        // The coarse pass measured the whole window: where the short probe
        // would take most of it anyway, its level stands in.
        const bool coarse = g < groups && static_cast<double>(length) >= COARSE_SHARE * static_cast<double>(probe.window);
        if (coarse)
            length = probe.window;
        s.magnitude[g] = coarse ? levels[g] / LEVEL_PER_MAGNITUDE : probe.magnitude(step, length, probe.context);
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
    s.whole_floor = median / std::sqrt(static_cast<double>(probe.window));
    take_away_echoes(s);
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

// A group no higher than its neighbours holds no partial of its own: a
// short probe's side lobes fall away from a tone group by group, and
// counted as partials, a loud tone's would lend a subharmonic its upper
// partials.
bool local_peak(const Spectrum &s, std::int64_t g)
{
    const auto top = static_cast<std::int64_t>(s.top);
    return (g == 0 || s.magnitude[g - 1] <= s.magnitude[g]) && (g + 1 == top || s.magnitude[g + 1] <= s.magnitude[g]);
}

Partial partial(const Spectrum &s, std::uint64_t c, int k)
{
    const PartialGroups at = partial_groups(c, k);
    Partial best{0.0, at.low};
    for (std::int64_t g = at.low; g <= at.high; g++) {
        if (g < 0 || g >= static_cast<std::int64_t>(s.top))
            continue;
        if (!local_peak(s, g))
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
        sum += std::pow(partial(s, c, k).excess, SALIENCE_POWER) / std::sqrt(static_cast<double>(k));
    return sum;
}

// The median of the levels around group g over their floors: 1 in white
// noise, more where the noise rises.
double local_noise(const Spectrum &s, std::int64_t g)
{
    double ratios[2 * NOISE_REACH + 1];
    int count = 0;
    for (std::int64_t h = g - NOISE_REACH; h <= g + NOISE_REACH; h++) {
        if (h >= 0 && h < static_cast<std::int64_t>(s.top) && s.floor[h] > 0.0)
            ratios[count++] = s.magnitude[h] / s.floor[h];
    }
    if (count == 0)
        return 0.0;
    std::nth_element(ratios, ratios + count / 2, ratios + count);
    return ratios[count / 2];
}

// Noise power expected on the whole window at group g (a noise magnitude's
// mean square is its median's square over ln 2).
double noise_power(const Spectrum &s, std::int64_t g)
{
    const double median = local_noise(s, g) * s.whole_floor;
    return median * median / std::numbers::ln2;
}

// Whether CLEAR_PARTIALS partials of the fundamental in group c stand
// LOCAL_PROMINENCE out of the noise around them.
bool clear_of_local_noise(const Spectrum &s, std::uint64_t c)
{
    int clear = 0;
    for (int k = 1; k <= PARTIALS; k++) {
        const Partial p = partial(s, c, k);
        clear += p.excess > 0.0 && s.magnitude[p.group] >= LOCAL_PROMINENCE * local_noise(s, p.group) * s.floor[p.group];
    }
    return clear >= CLEAR_PARTIALS;
}

// Whether the half-multiples of the tone at band (f / 2, 3 f / 2, ...) hold
// HALF_MULTIPLE_SHARE of the power of its whole multiples, noise taken away.
bool half_multiples_sound(const Spectrum &s, double band, const BandProbe &probe)
{
    const double step = probe.step(band, probe.context);
    double half = 0.0;
    double whole = 0.0;
    double strongest_whole = 0.0;
    for (int k = 1; k <= HALF_MULTIPLES; k++) {
        const double at = step * k / 2.0;
        if (at >= HIGHEST_STEP)
            break;
        const double m = probe.magnitude(at, probe.window, probe.context);
        const double group = (band + BANDS_PER_OCTAVE * std::log2(k / 2.0)) / BANDS_PER_GROUP;
        const double power = std::max(0.0, m * m - NOISE_MARGIN * noise_power(s, std::llround(group)));
        if (k % 2 == 1) {
            half += power;
        } else {
            whole += power;
            strongest_whole = std::max(strongest_whole, power);
        }
    }
    return whole > 0.0 && half >= HALF_MULTIPLE_SHARE * whole && whole - strongest_whole >= OTHER_WHOLE_SHARE * whole;
}

double magnitude_at(double band, std::uint64_t length, const BandProbe &probe)
{
    return probe.magnitude(probe.step(band, probe.context), length, probe.context);
}

// A lone tone's magnitude over N samples falls from its peak as
// |sin(pi u) / (pi u)| at u bins (1 / N cycles a sample) away.
double lobe_shape(double u)
{
    const double x = std::numbers::pi * u;
    return x == 0.0 ? 1.0 : std::sin(x) / x;
}

// Where the peak lies between two points `spacing` bins apart (at most one
// bin, both on its main lobe), in bins from the left one, from their
// magnitudes: the one offset whose lobe gives both. Exact for a lone tone;
// kept between the points.
double peak_between(double left, double right, double spacing)
{
    // Their balance right * shape(p) - left * shape(spacing - p) falls as p
    // rises and is 0 at the peak.
    double low = 0.0;
    double high = spacing;
    for (int i = 0; i < PEAK_BISECTIONS; i++) {
        const double p = 0.5 * (low + high);
        if (right * lobe_shape(p) > left * lobe_shape(spacing - p))
            low = p;
        else
            high = p;
    }
    return 0.5 * (low + high);
}

// A stage's window: longer than half the whole window is the whole window,
// whose measurement the stage would only repeat.
std::uint64_t stage_length(double length, std::uint64_t window)
{
    const double shortest = static_cast<double>(std::min(SHORTEST_PROBE, window));
    if (2.0 * length >= static_cast<double>(window))
        return window;
    return static_cast<std::uint64_t>(std::max(length, shortest));
}

// Bands per bin of a window of `length` samples at `band`.
double bin_bands(double band, std::uint64_t length, const BandProbe &probe)
{
    return LOBE_BANDS / (static_cast<double>(length) * probe.step(band, probe.context));
}

// Two probes `spacing` bins apart about band, and the peak between them.
double between_pair(double band, std::uint64_t length, double spacing, const BandProbe &probe)
{
    const double bin = bin_bands(band, length, probe);
    const double left = magnitude_at(band - 0.5 * spacing * bin, length, probe);
    const double right = magnitude_at(band + 0.5 * spacing * bin, length, probe);
    return band + (peak_between(left, right, spacing) - 0.5 * spacing) * bin;
}

// The magnitude's peak near `band`. The first stage, on a short window,
// walks half a bin at a time until its middle probe is the largest, at
// most FIRST_REACH away; every stage then places the peak between two
// probes a bin apart from the lobe's shape, on windows STAGE_GROWTH times
// longer up to the whole window.
double climb_to_peak(double band, const BandProbe &probe)
{
    std::uint64_t length = stage_length(SHORT_PROBE_CYCLES / probe.step(band, probe.context), probe.window);
    double bin = bin_bands(band, length, probe);
    double h = bin / 2.0;
    double m[3] = {magnitude_at(band - h, length, probe), magnitude_at(band, length, probe), magnitude_at(band + h, length, probe)};
    for (double walked = 0.0; walked + h <= FIRST_REACH;) {
        const int way = m[2] > m[1] && m[2] >= m[0] ? 1 : (m[0] > m[1] ? -1 : 0);
        if (way == 0)
            break;
        band += way * h;
        walked += h;
        if (way > 0) {
            m[0] = m[1];
            m[1] = m[2];
            m[2] = magnitude_at(band + h, length, probe);
        } else {
            m[2] = m[1];
            m[1] = m[0];
            m[0] = magnitude_at(band - h, length, probe);
        }
    }
    band += (peak_between(m[0], m[2], 1.0) - 0.5) * bin;
    while (length < probe.window) {
        length = stage_length(static_cast<double>(length) * STAGE_GROWTH, probe.window);
        band = between_pair(band, length, 1.0, probe);
    }
    // Fewer cycles in the window, the nearer the tone's image at minus its
    // frequency, whose side lobe tilts a bin-wide pair: a closer one is
    // steadier.
    if (static_cast<double>(length) * probe.step(band, probe.context) < CLOSE_PAIR_CYCLES)
        band = between_pair(band, length, CLOSE_PAIR_BINS, probe);
    return band;
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
    if (!(s.floor[g] > 0.0) || (s.magnitude[g] < PROMINENCE * s.floor[g] && !clear_of_local_noise(s, chosen)))
        return none;

    int measured = strongest;
    Partial own = partial(s, chosen, 1);
    if (own.excess >= OWN_LOBE_SHARE * strongest_partial.excess)
        measured = 1;
    const double start = measured == 1 ? static_cast<double>(chosen * BANDS_PER_GROUP)
                                       : static_cast<double>(chosen * BANDS_PER_GROUP) + BANDS_PER_OCTAVE * std::log2(measured);
    const double peak = climb_to_peak(start, probe);
    double band = peak - BANDS_PER_OCTAVE * std::log2(measured);
    if (band < 0.0)
        return none;
    // The octave below, exactly: its half-multiples are the note's own odd
    // partials. Only below a choice read on its own lobe: one read from its
    // upper partials is already a missing fundamental, and the period of
    // those (a chord's notes) is no note's.
    while (measured == 1 && chosen >= LOWEST_GROUP + PITCH_CLASS_COUNT &&
           salience(s, chosen - PITCH_CLASS_COUNT) >= LOWER_SALIENCE_SHARE * salience(s, chosen) &&
           half_multiples_sound(s, band, probe)) {
        chosen -= PITCH_CLASS_COUNT;
        band -= BANDS_PER_OCTAVE;
    }
    return fundamental_at_band(band);
}
