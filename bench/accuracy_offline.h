// The offline half of docs/accuracy.md: both read-outs (the note read-out and
// the fundamental) on random sines at each engine rate, and on instrument
// notes rendered with fluidsynth beside aubio's yinfft. One job's window at a
// time through the stage functions of an engine that is not started
// (tests/support/offline_job.h), not through its threads.
#pragma once

#include <string>

// The engine rates both halves of the report cover, and the range of their
// sines: from LOWEST_TONE up to HIGHEST_TONE or 0.4 times the rate.
constexpr int RATES[] = {8000, 9600, 12000, 16000, 24000, 48000};
constexpr double LOWEST_TONE = 55.0;
constexpr double HIGHEST_TONE = 3520.0;

// Writes the sine figures for one engine rate into folder, at the default
// window or, when longest, at the longest (16 s; the sine table's row only).
// Returns 0 on success.
int offline_sines(int rate, bool longest, const std::string &folder);

// Renders, analyses and scores the instrument notes and synthetic tones at
// 16000 Hz into folder. Returns 0 on success.
int offline_notes(const std::string &folder);

// Prints the sections made from folder's files.
void print_offline(const std::string &folder);

// The sound fonts the notes are rendered from.
constexpr int SOUNDFONT_COUNT = 2;

// Renders (into renders, using again what it holds), analyses and scores the
// low notes of strings, a choir and organs from one sound font, clean, under
// white and pink noise and under reverberation; writes the scores into
// folder. Returns 0 on success.
int offline_low_notes(int font, const std::string &folder, const std::string &renders);

// Prints the low notes' section from folder's files.
void print_low_notes(const std::string &folder);
