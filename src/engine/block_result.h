// One analysed block as a record: the note read-out, the fundamental, the
// strip's twelve pitch-class levels and the statistics box's MAX and MIN
// over the whole correlation window, with the texts the window shows. orvel-analyze prints
// one per block as a JSON line or a CSV row; the window exports the newest
// as the same JSON object.
#pragma once

#include "engine/engine.h"
#include "engine/pitch.h"
#include "engine/readout.h"
#include "engine/temperament.h"

#include <QString>

#include <cstdint>

struct BlockResult {
    std::uint64_t block;        // 0-based block of the source
    double time;                // seconds of the source at the end of the block
    NoteReading note;           // the note read-out of the strongest pitch class; empty texts on silence
    double level;               // that pitch class's tone level
    FundamentalText fundamental; // the note being played; empty texts when none
    double pitch_classes[PITCH_CLASS_COUNT];  // levels, pitch class 0 = A, as the strip
    DelayReading max;           // strongest positive correlation and its delay
    DelayReading min;           // strongest negative correlation and its delay
    std::uint64_t skipped;      // blocks skipped so far; printed only when not 0
};

// The 0-based block of the source that job seq analysed, with skipped
// blocks skipped so far (Engine::blocks_skipped), given_up of which were
// jobs before seq given up for want of memory: those hold a job number
// already and are not counted twice. orvel-analyze and the window's export
// number their rows by it.
std::uint64_t row_block_number(std::uint64_t seq, std::uint64_t skipped, std::uint64_t given_up);

// Seconds of the source at the end of block (0-based) at engine rate rate.
double block_end_time(std::uint64_t block, int rate);

// The record of one result row: its pitch-class peaks, fundamental and
// correlation extremes, at the engine's band table (freqs), window and rate.
// block, time and skipped are left 0 for the caller. Pure.
BlockResult block_result(const PitchClassPeak *peaks, const FundamentalReading &fundamental,
                         const CorrelationPeak &peak, const double *freqs, std::uint64_t window, int rate);

// The record of job seq's row in view, at the engine's band table, window
// and rate, its fundamental's note and cents placed by tuning (the grid's
// reference and equal temperament unless given). The row should be final
// (view.row_final(seq)).
BlockResult row_result(const ResultView &view, std::uint64_t seq, const Engine &engine,
                       const NoteTuning &tuning = NoteTuning{});

// The record as one JSON object on one line, no newline, fields in the
// order of the struct after "file" (source names the source: a file name,
// or empty for the window's own sound):
// {"file":"a.wav","block":0,"time":0.064,"note":"A5","hz":440,"r":0.000,
//  "level":..,"fundamental":{"note":"A5","hz":440.01,"cents":0.1,"key":69},...},
// the fundamental null when there is none, and note, hz and r null on
// silence.
QString block_json(const QString &source, const BlockResult &result);

// The same as CSV: a header line and one row per record (no newline), the
// pitch classes as pc0 .. pc11, MAX and MIN as max_db, max_samples, max_ms,
// max_m, min_db ...; skipped always present; then the fundamental as
// fundamental_note, fundamental_hz, fundamental_cents and fundamental_key,
// empty when there is none (last, so that the columns before keep their
// places); note, hz and r empty on silence.
QString block_csv_header();
QString block_csv(const QString &source, const BlockResult &result);
