#include "engine/band_table.h"

#include "engine/engine_state.h"
#include "engine/pitch.h"
#include "engine/tone_detector.h"
#include "engine/work_queue.h"

#include <err.h>

#include <QString>

#include <cmath>
#include <cstdlib>

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

void band_table_setup()
{
    queue_init(tone_queue);

    const OctaveCounts octaves = count_octaves(sample_rate);
    if (octaves.high < 1.0 || octaves.low < 1.0)
        errx(1, "Invalid number of octaves\n");
    const auto octave_count = static_cast<std::uint64_t>(octaves.low + octaves.high);

    band_count = octave_count * BANDS_PER_OCTAVE;
    band_freq = static_cast<double *>(std::malloc(band_count * sizeof(double)));
    band_name = new QString[band_count];
    for (std::uint64_t i = 0; i < band_count; i++) {
        band_freq[i] = REFERENCE_HZ *
                       std::pow(2.0, static_cast<double>(i) / BANDS_PER_OCTAVE - octaves.low);
        band_name[i] = make_band_name(i);
    }

    for (int i = 0; i < worker_count; i++)
        start_engine_thread(tone_detector, "orvel-tone");
}
