// What the read-outs show, as plain values and texts: the statistics box's
// extremes of the correlation with their delays, and the note read-out.
// The window draws these texts and orvel-analyze prints them, so both say
// the same for the same results. Pure functions, any thread.
#pragma once

#include "engine/engine_types.h"

#include <QString>

#include <cstdint>

// A window of correlation_sum indices, both ends included:
// first <= last <= window_size - 1. Index i stands for a delay of
// window_size - 1 - i samples, so the left end is the largest delay.
struct ZoomRange {
    std::uint64_t first;
    std::uint64_t last;

    bool operator==(const ZoomRange &) const = default;
};

// The delay in samples that correlation_sum's index stands for:
// window_size - 1 - index (index < window_size). The one place the flip is
// written; the graph, the export and the statistics call it.
constexpr std::uint64_t delay_of_index(std::uint64_t index, std::uint64_t window_size)
{
    return window_size - 1 - index;
}

// The indices of the greatest and the smallest of values[first..last] (both
// ends included, first <= last), the first of equals: a later value wins
// only when strictly greater (smaller), so a NaN never wins over the value
// before it. The correlation's arg-max and arg-min, wherever it is taken.
struct IndexExtremes {
    std::uint64_t imax;
    std::uint64_t imin;
};
IndexExtremes index_extremes(const double *values, std::uint64_t first, std::uint64_t last);
// One step of index_extremes, for a scan that does more on the way (the
// fold): values[i] against the extremes found before it.
inline void take_extreme_index(IndexExtremes &found, const double *values, std::uint64_t i)
{
    if (values[i] > values[found.imax])
        found.imax = i;
    if (values[i] < values[found.imin])
        found.imin = i;
}

// The extremes of one zoom window of correlation_sum and the delays in
// samples they stand for (index i is a delay of window_size - 1 - i).
struct CorrelationStats {
    std::uint64_t imax;    // index of the first strictly greatest value
    std::uint64_t imin;    // index of the first strictly smallest value
    double a;              // the greatest value, but at least 1.0
    double b;              // minus the smallest value, but at least 1.0
    double scale;          // max(a, b): the value that reaches the image edge
    std::uint64_t lmax;    // delay of imax
    std::uint64_t lmin;    // delay of imin
    std::uint64_t lnear;   // smallest delay in the window (its right end)
    std::uint64_t lfar;    // largest delay in the window (its left end)
    std::uint64_t length;  // indices in the window
};

// Scans sum[window.first..window.last] once. When sum is correlation_sum
// the caller holds it still (Engine::read_results). window must lie inside
// 0..window_size - 1.
CorrelationStats correlation_stats(const double *sum, ZoomRange window,
                                   std::uint64_t window_size);

// The same statistics from extremes already found (by the correlation, for
// the whole window): greatest value max_value at index imax, smallest
// min_value at imin.
CorrelationStats stats_of_extremes(double max_value, std::uint64_t imax, double min_value,
                                   std::uint64_t imin, std::uint64_t window_size);

// A delay of samples at rate Hz in milliseconds, and in metres that sound
// travels at 340 m/s meanwhile; both cut (not rounded) to two decimals.
double delay_ms(std::uint64_t samples, int rate);
double delay_metres(std::uint64_t samples, int rate);

// 10 log10(ratio).
double decibels(double ratio);

// One line of the statistics box (MAX or MIN) as texts: "62.1234", "160",
// "10", "3.4" for dB, samples, ms and m.
struct DelayReading {
    QString db;         // 10 log10 of the extreme (at least 1.0), six significant digits
    std::uint64_t samples;  // the delay in engine samples
    QString ms;         // the delay in milliseconds, cut to two decimals
    QString m;          // metres at 340 m/s, cut to two decimals
};
DelayReading delay_reading(double extreme, std::uint64_t delay, int rate);

// The note read-out of band k (a row's strongest pitch class): "A5",
// "440" (Hz cut to three decimals) and "0.000" (deviation in semitones,
// -0.500 .. 0.496, three decimals). freqs is band_freq.
struct NoteReading {
    QString note;
    QString hz;
    QString r;
};
NoteReading note_reading(std::int64_t band, const double *freqs);

// The index of a row's strongest pitch class (PITCH_CLASS_COUNT entries):
// the first of equals wins.
int strongest_pitch_class(const PitchClassPeak *row);

// The note read-out of a row: its strongest pitch class's, or all three
// texts empty when nothing stands out: every pitch class at one level, as
// silence leaves them (with or without decay), or none measured.
NoteReading row_note_reading(const PitchClassPeak *row, const double *freqs);

// The fundamental read-out: "A2", "110.002" (Hz cut to three decimals),
// "-1.2" (deviation from that note in cents, rounded to one decimal, never
// "-0.0") and "45" (the note's MIDI key). All four empty when no
// fundamental was found.
struct FundamentalText {
    QString note;
    QString hz;
    QString cents;
    QString key;
};
FundamentalText fundamental_text(const FundamentalReading &reading);
