#include "engine/band_table.h"

#include "engine/engine_types.h"
#include "engine/kernels.h"
#include "engine/pitch.h"

#include <err.h>

#include <cmath>

namespace {

// The tuning reference, A5; every A of the grid is an octave multiple of it.
constexpr double REFERENCE_HZ = 440.0;
// Nothing at or below this is analysed: the grid starts at the lowest A above.
constexpr double LOWEST_HZ = 8.0;
constexpr std::uint64_t BANDS_PER_OCTAVE = PITCH_CLASS_COUNT * BANDS_PER_GROUP;

}  // namespace

OctaveCounts count_octaves(int rate)
{
    double below = 0.0;
    while (REFERENCE_HZ * std::pow(2.0, -below) > LOWEST_HZ)
        below += 1.0;
    double above = 0.0;
    while (rate * 0.5 > REFERENCE_HZ * std::pow(2.0, above))
        above += 1.0;
    // Both loops stop one octave past the last one that fits.
    return {below - 1.0, above - 1.0};
}

BandTable make_band_table(int rate)
{
    const OctaveCounts octaves = count_octaves(rate);
    if (octaves.high < 1.0 || octaves.low < 1.0)
        errx(1, "Invalid number of octaves");
    const auto octave_count = static_cast<std::uint64_t>(octaves.low + octaves.high);

    BandTable table;
    table.count = octave_count * BANDS_PER_OCTAVE;
    table.freq.resize(table.count);
    table.name.resize(table.count);
    for (std::uint64_t i = 0; i < table.count; i++) {
        table.freq[i] = REFERENCE_HZ * std::pow(2.0, static_cast<double>(i) / BANDS_PER_OCTAVE - octaves.low);
        table.name[i] = make_band_name(i);
    }
    const std::uint64_t groups = table.count / BANDS_PER_GROUP;
    table.third_octave.resize(groups);
    for (std::uint64_t g = 0; g < groups; g++)
        table.third_octave[g] = static_cast<std::uint8_t>(iso_third_octave_band(table.freq[BANDS_PER_GROUP * g]));
    return table;
}
