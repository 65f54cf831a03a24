// Result collector: the last stage of the pipeline, one thread. It writes each
// measured group into its job's row of tone_rows, sends the strongest group
// and its two neighbours back for refinement, and finally decays the row
// against the previous one, finds the pitch-class peaks, frees the job and
// publishes the row by incrementing jobs_completed.
#pragma once

#include "engine/work_queue.h"

#include <cstdint>

// Start-up, main thread: initialise collect_queue, allocate tone_rows,
// third_octave_band, pitch_class_rows, correlation_rows and row_final_job,
// start the collector thread.
// After band_table_setup().
void collector_setup();

// The strongest of G group levels: the highest level, and among equal
// highest levels the highest group number.
std::uint64_t strongest_group(const double *levels, std::uint64_t groups);

// The three groups refined around the strongest group t, in dispatch order:
// t, t - 1, t + 1, shifted inwards at either end of the range.
void refinement_groups(std::uint64_t t, std::uint64_t groups, std::uint64_t out[3]);

// The collector's work for one evaluated task (frees it, and the job once
// finished). Collector thread only: pending and pass are not locked.
void collect_task(BandTask *task);

// Thread body: take every waiting task (at most 120), collect_task each;
// forever.
void *result_collector(void *);
