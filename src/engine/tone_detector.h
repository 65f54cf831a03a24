// Tone detector: measures one semitone group of one job, or searches its
// 256 sub-steps for the strongest. worker_count threads run tone_detector,
// started by band_table_setup().
#pragma once

#include "engine/work_queue.h"

#include <cstdint>

// Cycles per sample of band b: band_freq[b] * tuning_factor / sample_rate.
// tuning_factor is read afresh, without a lock.
double band_step(std::uint64_t band);

// Measures the level of sub-step c of the group being refined; returns the
// stored (clamped) level.
using SubStepLevel = double (*)(std::uint64_t sub_step, void *context);

struct RefinedBand {
    std::uint64_t sub_step;  // 0..255
    double level;            // highest level met on the path
};

// Eight-step binary search over the 256 sub-steps of a semitone, starting
// from the coarse level of sub-step 0 (never re-measured). A candidate that
// at least equals the best level so far is taken, so ties go up.
RefinedBand refine_sub_step(double coarse_level, SubStepLevel measure, void *context);

// One task's work, without the queues: the coarse level of its group (pass 0),
// the refinement of its group (pass 1, moving task->band to the refined
// band), or nothing for a finished job.
void detect_task(BandTask *task);

// Thread body: take a share of tone_queue (at most 16 tasks), detect_task
// each, hand them all to collect_queue at once; forever.
void *tone_detector(void *);
