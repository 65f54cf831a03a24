// Tone detector: measures one semitone group of one job, or searches its
// 256 sub-steps for the strongest. worker_count threads run tone_detector,
// started by band_table_setup().
#pragma once

#include "engine/work_queue.h"

#include <atomic>
#include <cstdint>

// Cycles per sample of band b: band_freq[b] * tuning_factor / sample_rate.
// tuning_factor is read afresh, without a lock.
double band_step(std::uint64_t band);

// Samples run through the tone kernel since start, for the benchmarks
// and the soak script. Any thread; relaxed.
extern std::atomic<std::uint64_t> tone_samples_measured;

// One task's work, without the queues: the coarse level of its group (pass 0),
// the refinement of its group (pass 1, moving task->band to the refined
// band), or nothing for a finished job.
void detect_task(BandTask *task);

// Thread body: take a share of tone_queue (at most 16 tasks), detect_task
// each, hand them all to collect_queue at once; forever.
void *tone_detector(void *);
