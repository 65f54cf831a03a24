// Text of a number that was already cut to a few decimals (a delay in ms or
// m, a frequency in Hz). Written in full: the toolkit's default of six
// significant digits would round 15999.97 ms up to "16000" and 7458.621 Hz
// to "7458.62", undoing the cut.
#pragma once

#include <QLocale>
#include <QString>

inline QString cut_number_text(double value)
{
    return QString::number(value, 'g', QLocale::FloatingPointShortest);
}
