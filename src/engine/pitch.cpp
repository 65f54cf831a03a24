#include "engine/pitch.h"

#include "engine/engine_types.h"

namespace {

// Indexed by note mod 12: C first, because the octave number changes at C.
const char *const NOTE_TEMPLATES[PITCH_CLASS_COUNT] = {
    "C%1", "D%1B", "D%1", "E%1B", "E%1", "F%1", "G%1B", "G%1", "A%1B", "A%1", "B%1B", "B%1",
};

constexpr std::int64_t HALF_GROUP = BANDS_PER_GROUP / 2;
constexpr unsigned SUB_STEP_BITS = 8;  // log2(BANDS_PER_GROUP)
constexpr std::int64_t LABEL_OCTAVE = 5;

std::int64_t modulo(std::int64_t value, std::int64_t divisor)
{
    return (value % divisor + divisor) % divisor;
}

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

QString note_name(std::int64_t note)
{
    return QString::fromLatin1(NOTE_TEMPLATES[modulo(note, PITCH_CLASS_COUNT)]).arg(note / PITCH_CLASS_COUNT);
}

std::int64_t note_of_band(std::int64_t band)
{
    return (band + HALF_GROUP) / static_cast<std::int64_t>(BANDS_PER_GROUP) + GROUP_0_NOTE;
}

double band_deviation(std::int64_t band)
{
    const auto bands = static_cast<std::int64_t>(BANDS_PER_GROUP);
    return static_cast<double>((band + HALF_GROUP) % bands - HALF_GROUP) / static_cast<double>(bands);
}

QString make_band_name(std::uint64_t band)
{
    QString name = note_name(static_cast<std::int64_t>(band / BANDS_PER_GROUP) + GROUP_0_NOTE);
    const auto sub_step = static_cast<unsigned>(band % BANDS_PER_GROUP);
    if (sub_step != 0)
        name += QLatin1Char('.') + QString::number(reverse_sub_step_bits(sub_step));
    return name;
}

QString pitch_class_name(int pitch_class)
{
    return note_name(LABEL_OCTAVE * PITCH_CLASS_COUNT + modulo(pitch_class + GROUP_0_NOTE, PITCH_CLASS_COUNT));
}
