#include "engine/temperament.h"

#include "engine/fundamental.h"
#include "engine/pitch.h"

#include <cmath>
#include <limits>

namespace {

constexpr double CENTS_PER_SEMITONE = 100.0;
constexpr double OCTAVE_CENTS = 1200.0;
constexpr double THOUSANDTHS_PER_OCTAVE = 12000.0;
// The tonic's equal pitch anchors the scale in this octave (C4 .. B4); any
// octave gives the same places when the period is an octave.
constexpr std::int64_t TONIC_OCTAVE_KEY = 60;

double cents_of_ratio(double ratio)
{
    return OCTAVE_CENTS * std::log2(ratio);
}

const double PURE_FIFTH = cents_of_ratio(3.0 / 2.0);
const double PYTHAGOREAN_COMMA = 12 * PURE_FIFTH - 7 * OCTAVE_CENTS;
const double SYNTONIC_COMMA = cents_of_ratio(81.0 / 80.0);
const double SCHISMA = PYTHAGOREAN_COMMA - SYNTONIC_COMMA;

// The circle of fifths from the tonic, as the well temperaments are told:
// C G D A E B F# C# G#, then down from C: F Bb Eb. The pitch class (from
// C) of each step.
constexpr int FIFTHS_UP[] = {7, 2, 9, 4, 11, 6, 1, 8};    // G .. G#
constexpr int FIFTHS_DOWN[] = {5, 10, 3};                  // F, Bb, Eb

// Twelve degrees from the sizes of the fifths C-G .. G#-(D#) upward and
// C-F, F-Bb, Bb-Eb downward (each the size of the fifth, the lower note
// below the upper), folded into one octave.
Scale scale_from_fifths(const double (&up)[8], const double (&down)[3])
{
    Scale scale;
    scale.cents.assign(PITCH_CLASS_COUNT, 0.0);
    double pitch = 0.0;
    for (int i = 0; i < 8; i++) {
        pitch = std::fmod(pitch + up[i], OCTAVE_CENTS);
        scale.cents[FIFTHS_UP[i]] = pitch;
    }
    pitch = 0.0;
    for (int i = 0; i < 3; i++) {
        pitch = std::fmod(pitch - down[i] + 2 * OCTAVE_CENTS, OCTAVE_CENTS);
        scale.cents[FIFTHS_DOWN[i]] = pitch;
    }
    return scale;
}

// All eleven fifths of the chain Eb .. G# of one size (the wolf G#-Eb takes
// what is left).
Scale regular_scale(double fifth)
{
    const double up[8] = {fifth, fifth, fifth, fifth, fifth, fifth, fifth, fifth};
    const double down[3] = {fifth, fifth, fifth};
    return scale_from_fifths(up, down);
}

std::int64_t floor_div(std::int64_t value, std::int64_t divisor)
{
    return value >= 0 ? value / divisor : -((-value + divisor - 1) / divisor);
}

// Pitch classes from C, and the letters musicians write.
const char *const LETTERS[PITCH_CLASS_COUNT] = {
    "C", "C\u266f", "D", "E\u266d", "E", "F", "F\u266f", "G", "A\u266d", "A", "B\u266d", "B",
};
const char *const SPOKEN[PITCH_CLASS_COUNT] = {
    "C", "C sharp", "D", "E flat", "E", "F", "F sharp", "G", "A flat", "A", "B flat", "B",
};
const char *const TONICS[PITCH_CLASS_COUNT] = {
    "C", "C#", "D", "Eb", "E", "F", "F#", "G", "Ab", "A", "Bb", "B",
};
// The other spelling of each tonic.
const char *const ENHARMONIC_TONICS[PITCH_CLASS_COUNT] = {
    "B#", "Db", "D", "D#", "Fb", "E#", "Gb", "G", "G#", "A", "A#", "Cb",
};

std::int64_t pitch_class_from_c(std::int64_t key)
{
    return (key % PITCH_CLASS_COUNT + PITCH_CLASS_COUNT) % PITCH_CLASS_COUNT;
}

}  // namespace

const TemperamentName TEMPERAMENT_NAMES[TEMPERAMENT_COUNT] = {
    {Temperament::equal, "equal", "Equal temperament"},
    {Temperament::just, "just", "Just intonation"},
    {Temperament::pythagorean, "pythagorean", "Pythagorean"},
    {Temperament::meantone, "meantone", "Quarter-comma meantone"},
    {Temperament::werckmeister3, "werckmeister3", "Werckmeister III"},
    {Temperament::kirnberger3, "kirnberger3", "Kirnberger III"},
    {Temperament::vallotti, "vallotti", "Vallotti"},
};

const Transposition TRANSPOSITIONS[TRANSPOSITION_COUNT] = {
    {"Concert pitch (C)", 0},
    {"B\u266d instrument", 2},
    {"E\u266d instrument", 9},
    {"F instrument", 7},
    {"G instrument", 5},
    {"A instrument", 3},
    {"D instrument", -2},
};

double reference_for_fine_tuning(double thousandths)
{
    return CONCERT_A4_HZ * std::exp2(thousandths / THOUSANDTHS_PER_OCTAVE);
}

int fine_tuning_for_reference(double a4_hz)
{
    return static_cast<int>(THOUSANDTHS_PER_OCTAVE * std::log2(a4_hz / CONCERT_A4_HZ));
}

Scale temperament_scale(Temperament temperament)
{
    const double P = PURE_FIFTH;
    switch (temperament) {
    case Temperament::equal:
        break;
    case Temperament::just: {
        // Five-limit: the major triads on the tonic, the fourth and the
        // fifth pure.
        const double ratios[PITCH_CLASS_COUNT] = {1.0,       16.0 / 15, 9.0 / 8, 6.0 / 5, 5.0 / 4,  4.0 / 3,
                                                  45.0 / 32, 3.0 / 2,   8.0 / 5, 5.0 / 3, 16.0 / 9, 15.0 / 8};
        Scale scale;
        for (const double ratio : ratios)
            scale.cents.push_back(cents_of_ratio(ratio));
        return scale;
    }
    case Temperament::pythagorean:
        return regular_scale(P);
    case Temperament::meantone:
        return regular_scale(P - SYNTONIC_COMMA / 4);
    case Temperament::werckmeister3: {
        // C-G, G-D, D-A and B-F# a quarter of the Pythagorean comma narrow.
        const double q = PYTHAGOREAN_COMMA / 4;
        const double up[8] = {P - q, P - q, P - q, P, P, P - q, P, P};
        const double down[3] = {P, P, P};
        return scale_from_fifths(up, down);
    }
    case Temperament::kirnberger3: {
        // C-G .. A-E a quarter of the syntonic comma narrow, F#-C# a schisma.
        const double q = SYNTONIC_COMMA / 4;
        const double up[8] = {P - q, P - q, P - q, P - q, P, P, P - SCHISMA, P};
        const double down[3] = {P, P, P};
        return scale_from_fifths(up, down);
    }
    case Temperament::vallotti: {
        // F-C .. E-B a sixth of the Pythagorean comma narrow.
        const double s = P - PYTHAGOREAN_COMMA / 6;
        const double up[8] = {s, s, s, s, s, P, P, P};
        const double down[3] = {s, P, P};
        return scale_from_fifths(up, down);
    }
    }
    Scale scale;
    for (int d = 0; d < PITCH_CLASS_COUNT; d++)
        scale.cents.push_back(CENTS_PER_SEMITONE * d);
    return scale;
}

PlacedNote place_note(double band, const NoteTuning &tuning)
{
    if (tuning.equal || tuning.scale.cents.empty()) {
        const FundamentalReading reading = fundamental_at_band(band);
        return {reading.note, reading.cents};
    }
    const Scale &scale = tuning.scale;
    const auto degrees = static_cast<std::int64_t>(scale.cents.size());
    const std::int64_t tonic_key = TONIC_OCTAVE_KEY + pitch_class_from_c(tuning.tonic);
    // Cents above the tonic's equal pitch.
    const double above = (band / BANDS_PER_GROUP + static_cast<double>(GROUP_0_NOTE - tonic_key)) * CENTS_PER_SEMITONE;
    const auto period = static_cast<std::int64_t>(std::floor(above / scale.period));
    PlacedNote best{0, std::numeric_limits<double>::infinity()};
    // Degrees may stray out of their period (a Scala file need not rise),
    // so the periods either side are looked at too.
    for (std::int64_t p = period - 1; p <= period + 1; p++) {
        for (std::int64_t d = 0; d < degrees; d++) {
            const double cents = above - (static_cast<double>(p) * scale.period + scale.cents[static_cast<std::size_t>(d)]);
            if (std::abs(cents) < std::abs(best.cents))
                best = {tonic_key + p * degrees + d, cents};
        }
    }
    return best;
}

double key_offset_cents(std::int64_t key, const NoteTuning &tuning)
{
    if (tuning.equal || tuning.scale.cents.empty())
        return 0.0;
    const Scale &scale = tuning.scale;
    const auto degrees = static_cast<std::int64_t>(scale.cents.size());
    const std::int64_t steps = key - (TONIC_OCTAVE_KEY + pitch_class_from_c(tuning.tonic));
    const std::int64_t period = floor_div(steps, degrees);
    const std::int64_t degree = steps - period * degrees;
    const double placed = static_cast<double>(period) * scale.period + scale.cents[static_cast<std::size_t>(degree)];
    return placed - static_cast<double>(steps) * CENTS_PER_SEMITONE;
}

FundamentalReading tuned_reading(const FundamentalReading &reading, const NoteTuning &tuning)
{
    if (!reading.found)
        return reading;
    FundamentalReading tuned = reading;
    const PlacedNote note = place_note(reading.band, tuning);
    tuned.note = note.key;
    tuned.cents = note.cents;
    return tuned;
}

QString tonic_name(int pitch_class)
{
    return QString::fromLatin1(TONICS[pitch_class_from_c(pitch_class)]);
}

int parse_tonic(const QString &text)
{
    const QString wanted = text.trimmed();
    for (int c = 0; c < PITCH_CLASS_COUNT; c++) {
        for (const char *name : {TONICS[c], ENHARMONIC_TONICS[c]}) {
            if (wanted.compare(QLatin1String(name), Qt::CaseInsensitive) == 0)
                return c;
        }
    }
    return -1;
}

QString letter_name(std::int64_t key)
{
    return QString::fromUtf8(LETTERS[pitch_class_from_c(key)]);
}

int scientific_octave(std::int64_t key)
{
    return static_cast<int>(floor_div(key, PITCH_CLASS_COUNT) - 1);
}

QString spoken_note_name(std::int64_t key)
{
    // "A4" as it is written; "B flat 3" apart, so that the octave is not
    // read as part of the word.
    const QLatin1String name(SPOKEN[pitch_class_from_c(key)]);
    const QString octave = QString::number(scientific_octave(key));
    return name.contains(u' ') ? name + u' ' + octave : name + octave;
}
