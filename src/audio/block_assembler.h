// The block assembler: the first stage of the analysis pipeline. It waits
// until all four rings hold a block of 1024 new samples, forms the six
// analysis channels, appends the main channel to input_history and sends a
// job with a copy of the history and the time-reversed correlation channel
// down job_queue.
//
// audio_mutex guards the assembler's ring readers (the input rings' consumer
// and the output rings' tap), main_channel, corr_channel and its counters.
#pragma once

#include <cstdint>

// Analysis channels a block is split into (main_channel, corr_channel).
enum AnalysisChannel : int {
    CHANNEL_INPUT_0 = 0,
    CHANNEL_INPUT_1 = 1,
    CHANNEL_INPUT_SUM = 2,   // plain sum, may reach twice full scale
    CHANNEL_OUTPUT_0 = 3,
    CHANNEL_OUTPUT_1 = 4,
    CHANNEL_OUTPUT_SUM = 5,
    CHANNEL_COUNT = 6,
};

extern int main_channel;  // audio_mutex; channel appended to input_history (0..5)
extern int corr_channel;  // audio_mutex; channel sent time-reversed as each job's reference

// Choose the analysed and the correlated channel (AnalysisChannel). Toolkit
// thread; takes audio_mutex and wakes the waiters. Takes effect with the next
// block.
void set_main_channel(int channel);
void set_corr_channel(int channel);

// True while the assembler waits for a whole block on every ring (audio_mutex).
extern bool assembler_waiting;

// Drop the samples the assembler has not yet taken from the input rings, and
// as many from its tap on the output rings so the two stay paired. Any thread
// but the real-time one; takes audio_mutex and broadcasts.
void flush_input_rings();

// The spectrum panel's Reset: zero input_history and correlation_sum (under
// result_mutex), then flush the input rings (under audio_mutex). Rows and
// counters stay. Main thread.
void analysis_reset();

// Caller holds audio_mutex: pass the tap over the samples whose input partner
// the real-time side dropped.
void skip_unpaired_tap_samples();

// Start-up, main thread: set input_history_length to window_size + 1024 and
// allocate input_history zeroed. Before the assembler starts.
void input_history_setup();

// Start the block assembler thread (never ends). After input_history_setup().
void assembler_start();

// Assembler thread body.
void *assembler_main(void *);
