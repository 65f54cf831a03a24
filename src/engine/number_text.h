// Text of a number that was already cut to a few decimals (a delay in ms or
// m, a frequency in Hz). Written in full: the toolkit's default of six
// significant digits would round 15999.97 ms up to "16000" and 7038.411 Hz
// to "7038.41", undoing the cut.
#pragma once

#include <QLocale>
#include <QString>

#include <cstdint>

inline QString cut_number_text(double value)
{
    return QString::number(value, 'g', QLocale::FloatingPointShortest);
}

// A frequency cut (not rounded) to three decimals, as the read-outs show it.
inline QString millihertz_text(double hz)
{
    return cut_number_text(static_cast<std::int64_t>(hz * 1000) / 1000.0);
}
