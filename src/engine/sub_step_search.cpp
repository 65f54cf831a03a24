#include "engine/sub_step_search.h"

#include "engine/engine_types.h"

#include <iterator>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

namespace {

constexpr std::uint64_t LAST = BANDS_PER_GROUP - 1;
// Below this ripple period (in sub-steps) the peak is located on a shorter
// window, cut so that its ripple period is this long.
constexpr double LOCATE_RIPPLE = 16.0;
constexpr std::uint64_t SHORTEST_LOCATE = 512;
// A magnitude peak at least this share of the strongest may be another tone
// whose level beats it; up to this many peaks are followed.
constexpr double OTHER_PEAK_SHARE = 0.7;
constexpr int MOST_PEAKS = 3;
// The level can beat the magnitude's peak only where sqrt(2) times the
// magnitude still reaches it: within 0.886 ripple periods of the peak for a
// steady tone. Two sub-steps more cover where the peak itself was rounded.
constexpr double LEVEL_REACH = 0.9;
constexpr std::uint64_t REACH_MARGIN = 2;
// Up to this ripple period every sub-step within reach is probed; above it
// the level is smooth enough to climb from a stride of a quarter period.
constexpr double EVERY_SUB_STEP_RIPPLE = 8.0;
// The walk through side lobes takes at least this many sub-steps at a time.
constexpr std::int64_t SHORTEST_LOBE_WALK = 4;
constexpr double SAMPLED_LOBE_SHARE = 0.9;
// Short-window probes rule out side lobes only when this many of them cost
// less than one probe of the whole window.
constexpr std::uint64_t CHEAP_SHARE = 8;
constexpr double UNKNOWN = -1.0;

// Halving search for the highest value near n, from `reach` sub-steps either
// side down to one; ties go up.
template <typename Value>
std::uint64_t climb(std::uint64_t n, std::uint64_t reach, Value value)
{
    while (reach > 0) {
        const std::uint64_t e = (reach + 1) / 2;
        std::uint64_t best = n;
        double best_value = value(n);
        if (n >= e) {
            const double v = value(n - e);
            if (v > best_value) {
                best = n - e;
                best_value = v;
            }
        }
        if (n + e <= LAST && value(n + e) >= best_value)
            best = n + e;
        n = best;
        if (e == reach)
            break;
        reach = e;
    }
    return n;
}

// Sub-steps low, low + stride, low + 2 stride ... and high itself, into out;
// returns how many.
std::uint64_t strided(std::uint64_t low, std::uint64_t high, std::uint64_t stride, std::uint64_t out[BANDS_PER_GROUP])
{
    std::uint64_t count = 0;
    for (std::uint64_t n = low; n < high; n += stride)
        out[count++] = n;
    out[count++] = high;
    return count;
}

// A stretch's magnitude sampled four times a lobe (two ripple periods), and
// what the level can reach between each two neighbouring samples: sqrt(2)
// times the higher of the two, over the share of a peak that the nearer of
// four samples a lobe sees at least where a lobe's peak may lie between them.
// One may only where the magnitude rises to the first and falls after the
// second, since from a peak to the next zero there are two samples.
struct SampledStretch {
    std::uint64_t count = 0;
    std::uint64_t points[BANDS_PER_GROUP];
    double reach[BANDS_PER_GROUP];  // between points[i] and points[i + 1]; of the point itself when alone

    double bound() const { return *std::max_element(reach, reach + std::max<std::uint64_t>(1, count - 1)); }
};

template <typename Magnitude>
SampledStretch sample_stretch(std::uint64_t low, std::uint64_t high, double ripple, Magnitude magnitude)
{
    SampledStretch s;
    const auto stride = std::max<std::uint64_t>(1, static_cast<std::uint64_t>(ripple / 2.0));
    s.count = strided(low, high, stride, s.points);
    double m[BANDS_PER_GROUP];
    for (std::uint64_t i = 0; i < s.count; i++)
        m[i] = magnitude(s.points[i]);
    if (s.count == 1) {
        s.reach[0] = std::numbers::sqrt2 * m[0];
        return s;
    }
    for (std::uint64_t i = 0; i + 1 < s.count; i++) {
        const bool rises_to = i == 0 || m[i] >= m[i - 1];
        const bool falls_after = i + 2 == s.count || m[i + 1] >= m[i + 2];
        const double seen = stride > 1 && rises_to && falls_after ? SAMPLED_LOBE_SHARE : 1.0;
        s.reach[i] = std::numbers::sqrt2 * std::max(m[i], m[i + 1]) / seen;
    }
    return s;
}

class Search {
public:
    Search(const SubStepGroup &group, double coarse_level)
        : group_(group),
          coarse_level_(coarse_level),
          best_{0, coarse_level}
    {
        std::fill(std::begin(level_), std::end(level_), UNKNOWN);
        std::fill(std::begin(magnitude_), std::end(magnitude_), UNKNOWN);
        std::fill(std::begin(located_), std::end(located_), UNKNOWN);
    }

    // Sub-steps over which the level rises and falls once with the tone's phase.
    double ripple_period(std::uint64_t length) const
    {
        return 1.0 / (2.0 * static_cast<double>(length) * group_.top_spacing);
    }

    // The magnitude's peaks, on a window short enough to make them cheap.
    int locate(std::uint64_t peaks[MOST_PEAKS])
    {
        const double ripple = ripple_period(group_.window);
        locate_length_ = group_.window;
        if (ripple < LOCATE_RIPPLE) {
            const auto cut = static_cast<std::uint64_t>(std::ceil(static_cast<double>(group_.window) * ripple / LOCATE_RIPPLE));
            locate_length_ = std::clamp(cut, std::min(SHORTEST_LOCATE, group_.window), group_.window);
        }
        // Two probes at least in the magnitude's main lobe, whose half width
        // is twice the ripple period.
        const auto stride = std::max<std::uint64_t>(1, static_cast<std::uint64_t>(2.0 * ripple_period(locate_length_)));
        std::uint64_t probes[BANDS_PER_GROUP];
        const std::uint64_t count = strided(0, LAST, stride, probes);

        double top = 0.0;
        for (std::uint64_t i = 0; i < count; i++)
            top = std::max(top, located(probes[i]));
        int found = 0;
        for (std::uint64_t i = 0; i < count; i++) {
            const double m = located(probes[i]);
            const bool rises_from_left = i == 0 || m >= located(probes[i - 1]);
            const bool rises_from_right = i + 1 == count || m >= located(probes[i + 1]);
            if (rises_from_left && rises_from_right && m >= OTHER_PEAK_SHARE * top) {
                // The strongest peaks when there are more than room for.
                if (found < MOST_PEAKS) {
                    peaks[found++] = probes[i];
                } else {
                    auto weakest = std::min_element(peaks, peaks + found,
                                                    [this](std::uint64_t a, std::uint64_t b) { return located(a) < located(b); });
                    if (located(*weakest) < m)
                        *weakest = probes[i];
                }
            }
        }
        for (int k = 0; k < found; k++)
            peaks[k] = climb(peaks[k], stride, [this](std::uint64_t n) { return located(n); });
        return found;
    }

    // The highest level from low to high: every sub-step where the ripple is
    // short, else a stride of a quarter ripple and a climb from each rise.
    // Returns the highest magnitude met.
    double scan(std::uint64_t low, std::uint64_t high)
    {
        const double ripple = ripple_period(group_.window);
        double magnitude = 0.0;
        if (ripple <= EVERY_SUB_STEP_RIPPLE) {
            for (std::uint64_t n = low; n <= high; n++)
                full(n);
        } else {
            const auto stride = static_cast<std::uint64_t>(ripple / 4.0);
            std::uint64_t probes[BANDS_PER_GROUP];
            const std::uint64_t count = strided(low, high, stride, probes);
            for (std::uint64_t i = 0; i < count; i++) {
                const double level = full(probes[i]).level;
                if ((i == 0 || level >= level_[probes[i - 1]]) && (i + 1 == count || level >= full(probes[i + 1]).level))
                    climb(probes[i], stride, [this](std::uint64_t k) { return full(k).level; });
            }
        }
        for (std::uint64_t n = low; n <= high; n++) {
            if (level_[n] != UNKNOWN)
                magnitude = std::max(magnitude, magnitude_[n]);
        }
        return magnitude;
    }

    // Every sub-step near a magnitude peak where the level may be highest.
    void search_near(std::uint64_t peak)
    {
        const auto reach = static_cast<std::uint64_t>(std::ceil(LEVEL_REACH * ripple_period(group_.window))) + REACH_MARGIN;
        std::uint64_t low = peak > reach ? peak - reach : 0;
        std::uint64_t high = std::min(LAST, peak + reach);
        scan(low, high);
        walk(static_cast<std::int64_t>(low) - 1, -1);
        walk(static_cast<std::int64_t>(high) + 1, 1);
    }

    // Side lobes: from `from` on, in steps of one lobe (two ripple periods),
    // look at each stretch whose magnitude, sampled four times a lobe, could
    // still lift the level above the best; a steady tone's lobes only weaken
    // away from it, so the first that cannot ends the walk.
    void walk(std::int64_t from, std::int64_t direction, bool far_from_peak = false)
    {
        const double ripple = ripple_period(group_.window);
        const auto width = std::max<std::int64_t>(SHORTEST_LOBE_WALK, static_cast<std::int64_t>(std::ceil(2.0 * ripple)));
        const auto last = static_cast<std::int64_t>(LAST);
        for (std::int64_t start = from; start >= 0 && start <= last; start += direction * width) {
            const std::int64_t end = std::clamp<std::int64_t>(start + direction * (width - 1), 0, last);
            const std::int64_t low = std::min(start, end);
            const std::int64_t high = std::max(start, end);
            if (far_from_peak && short_bound(low, high) < best_.level)
                break;
            const SampledStretch stretch = sample_stretch(static_cast<std::uint64_t>(low), static_cast<std::uint64_t>(high),
                                                          ripple, [this](std::uint64_t n) { return full(n).magnitude; });
            if (stretch.bound() < best_.level)
                break;
            // Only where the level may still beat the best, which rises as it goes.
            for (std::uint64_t i = 0; i + 1 < stretch.count; i++) {
                if (stretch.reach[i] >= best_.level)
                    scan(stretch.points[i], stretch.points[i + 1]);
            }
        }
    }

    // What the level can reach from low to high by the shorter window used to
    // locate the peak, or infinity when there is none. A longer window meets
    // a steady tone's side lobes weaker (they fall with the window's length
    // times the distance from the tone), so a few cheap probes of the short
    // window can rule a stretch out.
    double short_bound(std::int64_t low, std::int64_t high)
    {
        if (locate_length_ > group_.window / CHEAP_SHARE)
            return std::numeric_limits<double>::infinity();
        const double ripple = ripple_period(locate_length_);
        const auto lobe = static_cast<std::int64_t>(std::ceil(2.0 * ripple));
        const auto first = static_cast<std::uint64_t>(std::max<std::int64_t>(0, low - lobe));
        const auto last = static_cast<std::uint64_t>(std::min(static_cast<std::int64_t>(LAST), high + lobe));
        return sample_stretch(first, last, ripple, [this](std::uint64_t n) { return located(n); }).bound();
    }

    RefinedBand finish()
    {
        // Silence stores 1.0 everywhere and the tie goes to the top sub-step.
        if (best_.level == 1.0 && best_.sub_step != LAST)
            full(LAST);
        return best_;
    }

    SubStepProbe full(std::uint64_t n)
    {
        if (level_[n] == UNKNOWN) {
            const SubStepProbe p = group_.probe(n, group_.window, group_.context);
            level_[n] = n == 0 ? coarse_level_ : p.level;
            magnitude_[n] = p.magnitude;
            if (level_[n] > best_.level || (level_[n] == best_.level && n > best_.sub_step))
                best_ = {n, level_[n]};
        }
        return {level_[n], magnitude_[n]};
    }

private:
    double located(std::uint64_t n)
    {
        if (locate_length_ == group_.window)
            return full(n).magnitude;
        if (located_[n] == UNKNOWN)
            located_[n] = group_.probe(n, locate_length_, group_.context).magnitude;
        return located_[n];
    }

    const SubStepGroup &group_;
    const double coarse_level_;
    RefinedBand best_;
    std::uint64_t locate_length_ = 0;
    double level_[BANDS_PER_GROUP];
    double magnitude_[BANDS_PER_GROUP];
    double located_[BANDS_PER_GROUP];
};

}  // namespace

RefinedBand find_strongest_sub_step(const SubStepGroup &group, double coarse_level)
{
    Search search(group, coarse_level);
    std::uint64_t peaks[MOST_PEAKS];
    const int found = search.locate(peaks);
    for (int k = 0; k < found; k++)
        search.search_near(peaks[k]);
    // A tone beyond either edge reaches in with its side lobes, strongest at
    // that edge.
    search.walk(0, 1, true);
    search.walk(BANDS_PER_GROUP - 1, -1, true);
    return search.finish();
}

RefinedBand strongest_sub_step_exhaustive(const SubStepGroup &group, double coarse_level)
{
    Search search(group, coarse_level);
    for (std::uint64_t n = 0; n <= LAST; n++)
        search.full(n);
    return search.finish();
}
