#include "engine/band_table.h"

#include "engine/engine_state.h"
#include "engine/tone_detector.h"
#include "engine/work_queue.h"

#include <err.h>
#include <pthread.h>

#include <QString>

#include <cmath>
#include <cstdlib>

namespace {

// The tuning reference, A5; every A of the grid is an octave multiple of it.
constexpr double REFERENCE_HZ = 440.0;
// Nothing at or below this is analysed: the grid starts at the lowest A above.
constexpr double LOWEST_HZ = 8.0;
constexpr std::uint64_t GROUPS_PER_OCTAVE = 12;
constexpr std::uint64_t BANDS_PER_OCTAVE = GROUPS_PER_OCTAVE * BANDS_PER_GROUP;
// Band distance from a C up to the next A: octave numbers change at every C.
constexpr std::uint64_t C_TO_A_BANDS = 9 * BANDS_PER_GROUP;
constexpr unsigned SUB_STEP_BITS = 8;  // log2(BANDS_PER_GROUP)

// Indexed by group mod 12, group 0 being an A; a "B" after %1 marks a flat.
const char *const NOTE_TEMPLATES[GROUPS_PER_OCTAVE] = {
    "A%1", "B%1B", "B%1", "C%1", "D%1B", "D%1", "E%1B", "E%1", "F%1", "G%1B", "G%1", "A%1B",
};

// Reversed, the sub-step reads as a binary fraction of a semitone: suffix 1
// is half a semitone up (step 128), 2 a quarter (step 64), 3 three quarters.
unsigned reverse_sub_step_bits(unsigned sub_step)
{
    unsigned reversed = 0;
    for (unsigned bit = 0; bit < SUB_STEP_BITS; bit++) {
        reversed = (reversed << 1) | (sub_step & 1u);
        sub_step >>= 1;
    }
    return reversed;
}

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

QString make_band_name(std::uint64_t band)
{
    const std::uint64_t group = band / BANDS_PER_GROUP;
    const std::uint64_t octave = (band + C_TO_A_BANDS) / BANDS_PER_OCTAVE;
    QString name = QString::fromLatin1(NOTE_TEMPLATES[group % GROUPS_PER_OCTAVE]).arg(octave);
    const auto sub_step = static_cast<unsigned>(band % BANDS_PER_GROUP);
    if (sub_step != 0)
        name += QLatin1Char('.') + QString::number(reverse_sub_step_bits(sub_step));
    return name;
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

    // The detectors live as long as the process: never joined, handles dropped.
    for (int i = 0; i < worker_count; i++) {
        pthread_t thread;
        pthread_create(&thread, nullptr, tone_detector, nullptr);
    }
}
