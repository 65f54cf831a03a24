// Hand-made results for the widget tests: rows and a correlation of the
// test's choosing, put into an engine that was not started, through the
// engine's own stages in the order its threads run them. accept_block makes
// each job (its number and the counters), fold_lags folds the chosen lags,
// and the collector completes the row from the chosen tone levels, so a view
// reads exactly what it would after a real analysis. Test thread only.
#pragma once

#include "engine/engine.h"

#include <cstdint>
#include <vector>

// One group's coarse result: its tone level, and the band a detector
// measured it at (within the group; 0 takes the group's lowest band).
struct GroupTone {
    double level;
    double band;
};

// A job made from a block (BLOCK_LEN samples in ring units; empty for
// silence) and left in the job queue: counted as under way until the engine
// stops, which frees it.
inline void submit_job(Engine &engine, const std::vector<double> &block = {})
{
    const std::vector<double> silence(BLOCK_LEN, 0.0);
    const std::vector<double> &made = block.empty() ? silence : block;
    engine.accept_block(made.data(), made.data());
}

// Make the next job and complete it as the pipeline would: its lags
// (window_size values, lags[i] a delay of window_size - 1 - i; empty for
// zeros) folded into correlation_sum, then its row finished from tones
// (group_count() entries; empty for silence), the three refined groups
// keeping their band, and fundamental as its fundamental task's finding;
// the job is made of block (as submit_job). Call it before any submit_job:
// the collector completes in job order, so nothing completes behind a job
// left under way. False when the engine made no job (frozen, or too many
// under way).
inline bool complete_job(Engine &engine, const std::vector<GroupTone> &tones = {},
                         const std::vector<double> &lags = {}, const FundamentalReading &fundamental = {},
                         const std::vector<double> &block = {})
{
    submit_job(engine, block);
    AnalysisJob *job = engine.job_queue.try_pop();
    if (job == nullptr)
        return false;
    const std::uint64_t groups = engine.group_count();
    for (std::uint64_t i = 0; i < engine.window_size(); i++)
        job->product[BLOCK_LEN + i] = lags.empty() ? 0.0 : lags[i];
    engine.fold_lags(job);

    std::vector<double> band(groups);
    for (std::uint64_t g = 0; g < groups; g++) {
        const GroupTone tone = tones.empty() ? GroupTone{0.0, 0.0} : tones[g];
        job->semitone_level[g] = tone.level;
        band[g] = tone.band != 0.0 ? tone.band : static_cast<double>(BANDS_PER_GROUP * g);
    }
    job->pending = groups;
    for (std::uint64_t g = 0; g < groups; g++)
        engine.collect_task(engine.new_task(static_cast<std::uint64_t>(band[g]), job));
    // The refinement the collector sent back: measured where the coarse pass was.
    while (BandTask *task = engine.tone_queue.try_pop()) {
        if (task->band == FUNDAMENTAL_TASK)
            job->fundamental = fundamental;
        else
            task->band = static_cast<std::uint64_t>(band[task->band / BANDS_PER_GROUP]);
        engine.collect_task(task);
    }
    return true;
}

// Complete jobs with silent rows and no correlation until count are complete.
inline void complete_silent_jobs(Engine &engine, std::uint64_t count)
{
    while (engine.job_counts().completed < count && complete_job(engine)) {
    }
}
