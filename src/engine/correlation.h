// Correlation stage: each job's reversed correlation-channel block is
// convolved with the main-channel history, and the window_size lags where
// they fully overlap are folded into correlation_sum with decay_factor.
// Index i of correlation_sum is the delay window_size - 1 - i.
#pragma once

#include "engine/work_queue.h"

#include <cstdint>

// Start-up, main thread: initialise job_queue, allocate correlation_sum
// (window_size zeros), plan the transforms, start worker_count
// correlation_worker threads.
void correlation_setup();

// The lags of a window (a multiple of 1024) into product[1024 .. 1024 +
// window - 1]: product[1024 + i] is the sum over t < 1024 of
// corr[t] * samples[i + 1 + t], where corr is reference read backwards (it is
// stored time-reversed). samples holds window + 1024 values.
//
// The literal path adds the block-by-block convolutions (convolve_add) into
// product, which must start at zero, and fills product[0 .. N + 1022]. The
// spectral path gets the same lags from 2048-point transforms (FFTW), one
// per history block and one back per lag block, within rounding of the
// largest lag, and writes only those. Any thread after correlation_setup();
// the spectral path allocates its scratch on a thread's first call only.
void correlate_literal(const double *samples, const double *reference, double *product, std::uint64_t window);
void correlate_spectral(const double *samples, const double *reference, double *product, std::uint64_t window);

// The job's lags by the path chosen at start-up (literal_paths), folded into
// correlation_sum with decay_factor under result_mutex. Sets the job's
// pending to G first. Any thread. correlate_job is the two steps below.
void correlate_job(AnalysisJob *job);
void compute_lags(AnalysisJob *job);
// Fold the lags into correlation_sum and, once collector_setup() has made
// the rows, note the sum's extremes in the job's row of correlation_rows.
// Takes result_mutex.
void fold_lags(AnalysisJob *job);

// Hand the job to the tone detectors as one task per semitone group, in
// increasing order. Returns false, having freed nothing, when the tasks could
// not all be allocated (none is pushed then).
bool dispatch_coarse_tasks(AnalysisJob *job);

// A job that cannot go on (out of memory): hand it to the collector, which
// frees it and counts it completed and skipped in its turn, so the bound on
// jobs in flight stays true. Allocates nothing.
void abandon_job(AnalysisJob *job);

// Thread body: pop_job, compute the lags, fold them in job order (waiting
// on audio_mutex for jobs_folded to reach the job), dispatch; forever.
void *correlation_worker(void *);
