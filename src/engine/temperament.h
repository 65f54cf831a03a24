// Where a tuner places the notes: a temperament (or a Scala scale) laid on a
// tonic, the tonic keeping its equally tempered pitch from the reference,
// and the transposing instruments' written names. Pure functions, any
// thread.
//
// The reference is the engine's fine tuning: band b of the tuned grid lies
// b / 256 equal semitones above A0 (key 9), so a temperament only moves
// notes away from the equal ones, in cents. Keys are MIDI key numbers in
// concert pitch: 69 is the A at the reference (A4 = 440 Hz by default).
#pragma once

#include "engine/engine_types.h"

#include <QString>

#include <cstdint>
#include <vector>

// The reference A4 a user may set, in Hz, and its default.
constexpr double CONCERT_A4_HZ = 440.0;
constexpr double MIN_REFERENCE_A4_HZ = 390.0;
constexpr double MAX_REFERENCE_A4_HZ = 490.0;
// The key of A4.
constexpr std::int64_t A4_KEY = 69;

// A4 in Hz for a fine tuning in thousandths of a semitone, and the fine
// tuning (cut toward zero, as the box shows it) for A4: 442 Hz is 78.
double reference_for_fine_tuning(double thousandths);
int fine_tuning_for_reference(double a4_hz);

// A scale as a Scala file gives it: degree 0 is the tonic, each degree's
// pitch in cents above it, and the period after which the degrees repeat
// (1200 for an octave). Degree d of period p is key tonic_key + p n + d for
// n degrees: with twelve degrees to the octave, the MIDI keys.
struct Scale {
    std::vector<double> cents;  // degree 0 .. n - 1, cents[0] = 0
    double period = 1200.0;     // cents, > 0
};

enum class Temperament {
    equal,
    just,
    pythagorean,
    meantone,        // quarter-comma
    werckmeister3,
    kirnberger3,
    vallotti,
};

struct TemperamentName {
    Temperament temperament;
    const char *option;  // as orvel-analyze's --temperament takes it: "equal", "just" ...
    const char *title;   // as the tuner page lists it: "Equal temperament" ...
};
constexpr int TEMPERAMENT_COUNT = 7;
extern const TemperamentName TEMPERAMENT_NAMES[TEMPERAMENT_COUNT];

// The twelve degrees of a temperament from its tonic.
Scale temperament_scale(Temperament temperament);

// Where a tuner reads a pitch: the scale, its tonic (a pitch class, 0 = C
// .. 11 = B), and whether the scale is the equal one (then placing a note is
// the engine's own rounding, bit for bit).
struct NoteTuning {
    Scale scale = temperament_scale(Temperament::equal);
    int tonic = 0;
    bool equal = true;

    // A temperament's scale, or a Scala file's: the flag follows the scale.
    void use(Temperament temperament)
    {
        scale = temperament_scale(temperament);
        equal = temperament == Temperament::equal;
    }
    void use(const Scale &other)
    {
        scale = other;
        equal = false;
    }
};

// The note nearest to fractional band (>= 0) of the tuned grid as the
// tuning places the notes, and the deviation from it in cents. For the
// equal tuning, fundamental_at_band's note and cents exactly.
struct PlacedNote {
    std::int64_t key;  // concert-pitch key
    double cents;      // from that key's placed pitch
};
PlacedNote place_note(double band, const NoteTuning &tuning);

// The cents by which the tuning moves key from its equal pitch (0 for the
// equal tuning; just E on tonic C: -13.686).
double key_offset_cents(std::int64_t key, const NoteTuning &tuning);

// A fundamental reading with its note and cents placed by tuning; a reading
// not found is returned as it is.
FundamentalReading tuned_reading(const FundamentalReading &reading, const NoteTuning &tuning);

// Tonic names: "C", "C#", "D", "Eb", "E", "F", "F#", "G", "Ab", "A", "Bb", "B"
// (the pitch class, 0 = C); parse_tonic also takes the other spelling of
// each ("Db", "D#" ...), any letter case, and returns -1 for anything else.
QString tonic_name(int pitch_class);
int parse_tonic(const QString &text);

// Transposing instruments: the written note lies `written` semitones above
// the sounding one (a B flat clarinet's written C sounds B flat below: 2).
struct Transposition {
    const char *title;  // "Concert pitch (C)", "B\u266d instrument" ...
    int written;        // semitones, written minus concert
};
constexpr int TRANSPOSITION_COUNT = 7;
extern const Transposition TRANSPOSITIONS[TRANSPOSITION_COUNT];

// Musicians' names, in scientific pitch notation (key 69 is A4, the octave
// goes up at every C): the letter with its accidental ("A", "B\u266d",
// "C\u266f"), the octave number, and the name as a screen reader says it
// ("B flat 3").
QString letter_name(std::int64_t key);
int scientific_octave(std::int64_t key);
QString spoken_note_name(std::int64_t key);
