// Pitch arithmetic on the band grid: notes, deviations and their names.
// Pure functions, any thread.
//
// Band b lies b / 256 semitones above A0 (13.75 Hz). Note numbers are MIDI
// key numbers: A0 is note 9, A5 (440 Hz, band 15360) is note 69, and the
// octave number goes up at every C. A flat is written with a "B" after the
// octave: "B5B" is the B flat above A5.
#pragma once

#include <QString>

#include <cstdint>

// Band 0's pitch, A0, before fine tuning.
constexpr double A0_HZ = 13.75;
// Semitones per octave, and so pitch classes; pitch class 0 is an A.
constexpr int PITCH_CLASS_COUNT = 12;
// The note number of semitone group 0 (A0).
constexpr std::int64_t GROUP_0_NOTE = 9;

// Name of note n (n >= 0): pitch class and octave, "A0", "C5", "B5B".
QString note_name(std::int64_t note);

// The note nearest to band b (b >= 0): band 15360 (440 Hz) is note 69, and a
// band half a semitone up (15488) already belongs to the note above.
std::int64_t note_of_band(std::int64_t band);

// Deviation of band b from note_of_band(b) in semitones, -0.500 .. 0.496 in
// steps of 1/256.
double band_deviation(std::int64_t band);

// Display name of band b: the note of its semitone group (not the nearest
// note) and, between semitones, "." and the sub-step in reversed bit order,
// which reads as a binary fraction: "A0", "A0.1" (half a semitone up),
// "A0.2" (a quarter), "A0.128" (1/256), "B0B", "C1", "A5".
QString make_band_name(std::uint64_t band);

// Name of pitch class c (0 = A .. 11 = G sharp, written "A5B"; any c is
// taken mod 12) in octave 5, as the strip's columns are named.
QString pitch_class_name(int pitch_class);
