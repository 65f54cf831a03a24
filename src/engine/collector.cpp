#include "engine/collector.h"

#include "engine/engine.h"
#include "engine/local_peak.h"
#include "engine/pitch.h"
#include "engine/refine_group.h"
#include "engine/tone_detector.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

constexpr std::uint64_t REFINED_GROUPS = 3;
static_assert(REFINED_GROUPS + 1 == TASKS_BEYOND_GROUPS, "a job's tasks: the refinement and the fundamental's");
// Tasks the collector takes per hand-over: a whole job's coarse pass at most.
constexpr std::uint64_t COLLECT_BATCH = MAX_GROUP_COUNT;

}  // namespace

std::uint64_t strongest_group(const double *levels, std::uint64_t groups)
{
    // Each group in turn takes the lead unless the leader's level is
    // strictly greater: the larger level wins, and when neither is greater
    // (equal, or a NaN) the larger group does.
    std::uint64_t strongest = 0;
    for (std::uint64_t k = 1; k < groups; k++) {
        if (!(levels[strongest] > levels[k]))
            strongest = k;
    }
    return strongest;
}

void pitch_class_peaks(const ToneEntry *row, std::uint64_t groups, PitchClassPeak peaks[PITCH_CLASS_COUNT])
{
    for (int p = 0; p < PITCH_CLASS_COUNT; p++)
        peaks[p] = {0.0, static_cast<double>(p), 0.0};
    // The first group lacks a neighbour below and is never a peak; the last
    // has none above, and a tone there must still read. ">=" lets the
    // highest of equal peaks in a class win. A refined peak goes to its
    // nearest note, as the read-out and MIDI name it: a tone a few cents
    // flat of A peaks in the group below, A flat, whose search ends there.
    for (std::uint64_t j = 1; j < groups; j++) {
        const double v = row[j].level;
        const std::int64_t note = note_of_band(static_cast<std::int64_t>(row[j].band));
        PitchClassPeak &peak = peaks[(note - GROUP_0_NOTE) % PITCH_CLASS_COUNT];
        if (is_local_peak(row, groups, j, PeakEdges::strip) && v >= peak.level) {
            peak.level = v;
            peak.band = row[j].band;
        }
    }
}

void refinement_groups(std::uint64_t t, std::uint64_t groups, std::uint64_t out[3])
{
    if (t == 0) {
        out[0] = 1;
        out[1] = 0;
        out[2] = 2;
    } else if (t == groups - 1) {
        out[0] = groups - 2;
        out[1] = groups - 3;
        out[2] = groups - 1;
    } else {
        out[0] = t;
        out[1] = t - 1;
        out[2] = t + 1;
    }
}

// Write the job's finished row and complete it. Its turn has come: the row
// before it is final, or was given up. The decay reads the row before only
// when it is final, as the job just before left it: after a given-up job
// (a gap of sound that was not measured) nothing decays across the gap, and
// the row starts afresh from its own levels, as the first row does.
void Engine::finish_job(AnalysisJob *job)
{
    const std::uint64_t groups = group_count();
    {
        ApartLock lock(results_mutex_, jobs_mutex_);
        const std::uint64_t slot = job->seq % RESULT_ROWS;
        const std::uint64_t previous_slot = (job->seq + RESULT_ROWS - 1) % RESULT_ROWS;
        ToneEntry *row = tone_rows_.data() + slot * groups;
        const ToneEntry *previous = tone_rows_.data() + previous_slot * groups;
        const bool follows_final = job->seq > 0 && row_final_job_[previous_slot] == job->seq;
        const double decay = follows_final ? decay_factor_ : 0.0;
        PitchClassPeak *peaks = pitch_class_rows_.data() + slot * PITCH_CLASS_COUNT;
        fundamental_rows_[slot] = job->fundamental;
        for (std::uint64_t k = 0; k < groups; k++) {
            const double level = previous[k].level * decay + row[k].level;
            // As in the correlation's fold: an overflow is not carried on.
            row[k].level = std::isfinite(level) ? level : 0.0;
        }
        pitch_class_peaks(row, groups, peaks);
        row_final_job_[slot] = job->seq + 1;
        rows_completed_ = job->seq + 1;
    }
    free_job(job);
    count_completed(false);
}

// A job given up: a skipped block, and a slot that reads as not measured
// wherever it is read, not as the row of RESULT_ROWS jobs before: not final
// (row_final), every tone level 0 (below MEASURED_LEVEL), no pitch-class
// peak, no fundamental. Its correlation extremes stay: the job was folded
// into correlation_sum before it was given up.
void Engine::complete_given_up(AnalysisJob *job)
{
    const std::uint64_t groups = group_count();
    {
        ApartLock lock(results_mutex_, jobs_mutex_);
        const std::uint64_t slot = job->seq % RESULT_ROWS;
        std::fill_n(tone_rows_.data() + slot * groups, groups, ToneEntry{});
        for (int p = 0; p < PITCH_CLASS_COUNT; p++)
            pitch_class_rows_[slot * PITCH_CLASS_COUNT + p] = {0.0, static_cast<double>(p), 0.0};
        fundamental_rows_[slot] = FundamentalReading{};
        row_final_job_[slot] = 0;
        rows_completed_ = job->seq + 1;
    }
    free_job(job);
    count_completed(true);
}

// Rows are completed in job order (the detectors finish jobs out of order),
// so that a decayed row never reads a row before it that is not yet final,
// and every row below the completed count is final.
void Engine::complete_in_order(AnalysisJob *job)
{
    waiting_turn_[job->seq % RESULT_ROWS] = job;
    for (;;) {
        AnalysisJob *&slot = waiting_turn_[next_to_complete_ % RESULT_ROWS];
        AnalysisJob *next = slot;
        if (next == nullptr || next->seq != next_to_complete_)
            return;
        slot = nullptr;
        next_to_complete_++;
        if (next->pass == GIVEN_UP_PASS)
            complete_given_up(next);
        else
            finish_job(next);
    }
}

// Sends the refinement tasks and the fundamental's, taken from the job's own
// block; returns how many went out (fewer only when the job's tasks are used
// up, which a job of the pipeline's never is: then the row simply stays less
// refined or without a fundamental).
std::uint64_t Engine::dispatch_refinement(AnalysisJob *job, JobWindow &prepared)
{
    std::uint64_t chosen[REFINED_GROUPS];
    const std::uint64_t strongest = strongest_group(job->semitone_level, group_count());
    const WindowProbe window = window_probe(prepared.of(*job, config_.window_size));
    refinement_groups(group_to_refine(strongest, group_count(), window.probe()), group_count(), chosen);
    std::copy_n(job->semitone_level, group_count(), job->coarse_level);
    BandTask *tasks[REFINED_GROUPS + 1];
    std::uint64_t made = 0;
    for (std::uint64_t h : chosen) {
        if (BandTask *task = new_task(BANDS_PER_GROUP * h, job))
            tasks[made++] = task;
    }
    if (BandTask *task = new_task(FUNDAMENTAL_TASK, job))
        tasks[made++] = task;
    job->pending += made;
    job->measuring = made;
    tone_queue.push_all(tasks, made);
    return made;
}

void Engine::collect_task(BandTask *task, JobWindow &prepared)
{
    AnalysisJob *job = task->job;
    if (job->pass == GIVEN_UP_PASS) {
        complete_in_order(job);
        return;
    }
    const std::uint64_t g = task->band / BANDS_PER_GROUP;
    if (job->pass <= 1 && task->band != FUNDAMENTAL_TASK) {
        ApartLock lock(results_mutex_, jobs_mutex_);
        tone_rows_[(job->seq % RESULT_ROWS) * group_count() + g] = {job->semitone_level[g], 0.0,
                                                                     static_cast<double>(task->band)};
    }
    // The task lives in its job's block, which free_job hands back whole.
    if (--job->pending != 0)
        return;
    const std::uint64_t pass = job->pass++;
    if (pass == 0) {
        if (dispatch_refinement(job, prepared) == 0) {
            job->pass++;
            complete_in_order(job);
        }
    } else if (pass == 1) {
        complete_in_order(job);
    }
}

void Engine::collector_main()
{
    BandTask *batch[COLLECT_BATCH];
    JobWindow prepared;
    while (const std::uint64_t count = collect_queue.pop_some(batch, COLLECT_BATCH)) {
        for (std::uint64_t i = 0; i < count; i++)
            collect_task(batch[i], prepared);
    }
}

void Engine::collect_task(BandTask *task)
{
    JobWindow prepared;
    collect_task(task, prepared);
}
