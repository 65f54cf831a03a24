// Correlation stage: each job's reversed correlation-channel block is
// convolved with the main-channel history, and the window_size lags where
// they fully overlap are folded into correlation_sum with decay_factor.
// Index i of correlation_sum is the delay window_size - 1 - i.
#pragma once

#include "engine/work_queue.h"

// Start-up, main thread: initialise job_queue, allocate correlation_sum
// (window_size zeros), start worker_count correlation_worker threads.
void correlation_setup();

// Convolve the job into its product and fold it into correlation_sum under
// result_mutex. Sets the job's pending to G first. Any thread.
void correlate_job(AnalysisJob *job);

// Hand the job to the tone detectors as one task per semitone group, in
// increasing order. Returns false, having freed nothing, when the tasks could
// not all be allocated (none is pushed then).
bool dispatch_coarse_tasks(AnalysisJob *job);

// A job that cannot go on (out of memory): free it and count it completed,
// so the bound on jobs in flight stays true. Takes audio_mutex.
void abandon_job(AnalysisJob *job);

// Thread body: pop_job, correlate, dispatch; forever.
void *correlation_worker(void *);
