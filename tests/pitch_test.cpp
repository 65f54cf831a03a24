// Pitch arithmetic on the band grid, against values worked out by hand:
// band b is b / 256 semitones above A0 (note 9, 13.75 Hz).
#include "engine/pitch.h"

#include "support/qt_print.h"

#include <gtest/gtest.h>

#include <cstdint>

TEST(Pitch, NoteNamesGoUpAtEveryC)
{
    const struct { std::int64_t note; const char *name; } cases[] = {
        {60, "C5"}, {61, "D5B"}, {62, "D5"}, {63, "E5B"}, {64, "E5"}, {65, "F5"},
        {66, "G5B"}, {67, "G5"}, {68, "A5B"}, {69, "A5"}, {70, "B5B"}, {71, "B5"},
        {9, "A0"}, {11, "B0"}, {12, "C1"}, {129, "A10"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(note_name(c.note), c.name) << c.note;
}

// The nearest note, with half a semitone rounding up, and the deviation from
// it in 1/256 of a semitone.
TEST(Pitch, NearestNoteAndDeviation)
{
    const struct { std::int64_t band; std::int64_t note; double deviation; } cases[] = {
        {0, 9, 0.0},
        {127, 9, 127 / 256.0},
        {128, 10, -0.5},            // half a semitone up: the note above
        {15360, 69, 0.0},           // 440 Hz
        {15361, 69, 1 / 256.0},
        {15359, 69, -1 / 256.0},
        {15487, 69, 0.49609375},    // the most a band lies above its note
        {15488, 70, -0.5},
        {30719, 129, -1 / 256.0},   // top of the grid at 48000 Hz
    };
    for (const auto &c : cases) {
        EXPECT_EQ(note_of_band(c.band), c.note) << c.band;
        EXPECT_EQ(band_deviation(c.band), c.deviation) << c.band;
    }
}

// A band is named after its own group, not the nearest note; the sub-step
// reads as a binary fraction of a semitone once its bits are reversed.
TEST(Pitch, BandNames)
{
    const struct { std::uint64_t band; const char *name; } cases[] = {
        {0, "A0"},       {1, "A0.128"}, {2, "A0.64"},  {3, "A0.192"},  {128, "A0.1"},
        {255, "A0.255"}, {256, "B0B"},  {512, "B0"},   {768, "C1"},    {1024, "D1B"},
        {2304, "G1B"},   {2816, "A1B"}, {3072, "A1"},  {3840, "C2"},   {15360, "A5"},
        {15361, "A5.128"}, {16128, "C6"}, {30719, "A10B.255"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(make_band_name(c.band), c.name) << "band " << c.band;
}

TEST(Pitch, PitchClassNamesStartAtAAndWrap)
{
    const char *names[] = {"A5", "B5B", "B5", "C5", "D5B", "D5", "E5B", "E5", "F5", "G5B", "G5", "A5B"};
    for (int c = 0; c < PITCH_CLASS_COUNT; c++) {
        EXPECT_EQ(pitch_class_name(c), names[c]) << c;
        EXPECT_EQ(pitch_class_name(c + 12), names[c]) << c + 12;
        EXPECT_EQ(pitch_class_name(c - 12), names[c]) << c - 12;
    }
}
