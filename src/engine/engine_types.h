// The values every layer shares: the rates and sizes the engine is built on,
// and the records of a result row. The engine itself, its threads and its
// locks are in engine.h.
#pragma once

#include <cstdint>

// Tone levels are at least this (the floor that silence stores in every
// group); a row whose strongest level lies below it was never measured,
// and the strip leaves it white.
constexpr double MEASURED_LEVEL = 1.0;

// One semitone group's tone level in a result row.
struct ToneEntry {
    double level;     // tone level, >= 1.0 when measured, then decayed
    double reserved;  // always 0.0
    double band;      // band index at which level was measured
};

// The strongest local peak of one pitch class in a result row.
struct PitchClassPeak {
    double level;        // peak level, 0.0 if the class has no peak
    double pitch_class;  // 0..11, 0 = A
    double band;         // band index of the peak, 0.0 if none
};

// The note being played in a job's window (engine/fundamental.h), beside
// the note read-out's strongest partial.
struct FundamentalReading {
    bool found;          // false for silence, noise or nothing that stands out; the rest is then 0
    double band;         // fractional band of the fundamental (256 a semitone, 0 = A0)
    double hz;           // its frequency: 13.75 * 2^(band / 3072) Hz times the fine tuning
    std::int64_t note;   // nearest note, a MIDI key number (note_of_band)
    double cents;        // deviation from that note, -50 .. 50
};

// The extremes of correlation_sum as a job left it: the statistics box's
// MAX and MIN over the whole window just after that job was folded in.
struct CorrelationPeak {
    double max_value;      // greatest value of correlation_sum
    double min_value;      // smallest value
    std::uint64_t imax;    // index of the first greatest value: a delay of window_size - 1 - imax
    std::uint64_t imin;    // index of the first smallest value
};

// The analysis channels a block is split into (audio/block_assembler.h forms
// them): the engine's main and correlated channel are two of these. The
// engine owns the type and refuses any other value (Engine::set_main_channel).
enum AnalysisChannel : int {
    CHANNEL_INPUT_0 = 0,
    CHANNEL_INPUT_1 = 1,
    CHANNEL_INPUT_SUM = 2,   // plain sum, may reach twice full scale
    CHANNEL_OUTPUT_0 = 3,
    CHANNEL_OUTPUT_1 = 4,
    CHANNEL_OUTPUT_SUM = 5,
    CHANNEL_COUNT = 6,
};

// The sound server's rate in Hz: the only one Orvel runs at. Engine rates
// divide it.
constexpr int SERVER_RATE = 48000;
// The engine rate and the workers per stage when the command line says nothing.
constexpr int DEFAULT_SAMPLE_RATE = 16000;
constexpr int DEFAULT_WORKERS = 2;
// Analysis blocks are always this many samples long.
constexpr std::uint32_t BLOCK_LEN = 1024;
// Bands per semitone group.
constexpr std::uint64_t BANDS_PER_GROUP = 256;
// Most semitone groups any rate yields: ten octaves of twelve.
constexpr std::uint64_t MAX_GROUP_COUNT = 120;
// Result rows kept: the graph's history and more. Jobs in flight stay below
// it, so no row is written twice at once.
constexpr std::uint64_t RESULT_ROWS = 256;

// decay factor for decay choice k (0 = "OFF" .. 6 = "1/256"): 0.0, or
// 1 - 1/2^(k + 2). Pure.
double decay_for_choice(int k);
