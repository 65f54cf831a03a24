#include "engine/readout.h"

#include "engine/number_text.h"
#include "engine/pitch.h"

#include <algorithm>
#include <cmath>

namespace {

// ln(10): dB = 10 * ln(x) / ln(10).
constexpr double LN_10 = 2.302585092994046;
constexpr int DEVIATION_DECIMALS = 3;

}  // namespace

IndexExtremes index_extremes(const double *values, std::uint64_t first, std::uint64_t last)
{
    IndexExtremes found{first, first};
    for (std::uint64_t i = first + 1; i <= last; i++)
        take_extreme_index(found, values, i);
    return found;
}

CorrelationStats stats_of_extremes(double max_value, std::uint64_t imax, double min_value,
                                   std::uint64_t imin, std::uint64_t window_size)
{
    CorrelationStats stats;
    stats.imax = imax;
    stats.imin = imin;
    stats.a = max_value >= 1.0 ? max_value : 1.0;
    stats.b = min_value <= -1.0 ? -min_value : 1.0;
    stats.scale = std::max(stats.a, stats.b);
    stats.lmax = delay_of_index(imax, window_size);
    stats.lmin = delay_of_index(imin, window_size);
    stats.lnear = 0;
    stats.lfar = delay_of_index(0, window_size);
    stats.length = window_size;
    return stats;
}

CorrelationStats correlation_stats(const double *sum, ZoomRange window,
                                   std::uint64_t window_size)
{
    const IndexExtremes found = index_extremes(sum, window.first, window.last);
    CorrelationStats stats = stats_of_extremes(sum[found.imax], found.imax, sum[found.imin], found.imin, window_size);
    stats.lnear = delay_of_index(window.last, window_size);
    stats.lfar = delay_of_index(window.first, window_size);
    stats.length = window.last + 1 - window.first;
    return stats;
}

double delay_ms(std::uint64_t samples, int rate)
{
    return static_cast<int>(samples * 100000 / static_cast<std::uint64_t>(rate)) / 100.0;
}

double delay_metres(std::uint64_t samples, int rate)
{
    // 34000 cm/s: sound at 340 m/s, kept in centimetres.
    return static_cast<int>(samples * 34000 / static_cast<std::uint64_t>(rate)) / 100.0;
}

double decibels(double ratio)
{
    return std::log(ratio) * 10.0 / LN_10;
}

DelayReading delay_reading(double extreme, std::uint64_t delay, int rate)
{
    // QString::arg's default for a double: six significant digits.
    return {QString::number(decibels(extreme)), delay, cut_number_text(delay_ms(delay, rate)),
            cut_number_text(delay_metres(delay, rate))};
}

NoteReading note_reading(std::int64_t band, const double *freqs)
{
    return {note_name(note_of_band(band)), millihertz_text(freqs[band]),
            QString::number(band_deviation(band), 'f', DEVIATION_DECIMALS)};
}

FundamentalText fundamental_text(const FundamentalReading &reading)
{
    if (!reading.found)
        return {};
    // Adding 0.0 turns a rounded -0.0 into 0.0.
    const double cents = std::round(reading.cents * 10.0) / 10.0 + 0.0;
    return {note_name(reading.note), millihertz_text(reading.hz), QString::number(cents, 'f', 1), QString::number(reading.note)};
}

int strongest_pitch_class(const PitchClassPeak *row)
{
    int m = 0;
    for (int l = 1; l < PITCH_CLASS_COUNT; l++) {
        if (row[l].level > row[m].level)
            m = l;
    }
    return m;
}

NoteReading row_note_reading(const PitchClassPeak *row, const double *freqs)
{
    const PitchClassPeak &strongest = row[strongest_pitch_class(row)];
    // Silence stores the floor level in every group, which the decay sums
    // alike: every pitch class then has the same flat "peak", and the top
    // group's note would be named.
    double weakest = strongest.level;
    for (int l = 0; l < PITCH_CLASS_COUNT; l++)
        weakest = std::min(weakest, row[l].level);
    if (!(strongest.level > weakest) || !(strongest.level >= MEASURED_LEVEL))
        return {};
    return note_reading(static_cast<std::int64_t>(strongest.band), freqs);
}
