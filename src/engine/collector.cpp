#include "engine/collector.h"

#include "engine/engine_state.h"
#include "engine/kernels.h"
#include "engine/merge_sort.h"
#include "engine/pitch.h"

#include <cstdlib>
#include <cstring>

namespace {

constexpr std::uint64_t RESULT_ROWS = 256;
constexpr std::uint64_t REFINED_GROUPS = 3;
// Tasks the collector takes per hand-over: a whole job's coarse pass at most.
constexpr std::uint64_t COLLECT_BATCH = MAX_GROUP_COUNT;

struct SortEntry {
    double level;
    std::uint64_t group;
};

// Larger level is greater; when neither level is greater (equal, or a NaN),
// the larger group is. Group numbers are distinct, so this is a total order.
int compare_entries(const void *a, const void *b)
{
    const auto *x = static_cast<const SortEntry *>(a);
    const auto *y = static_cast<const SortEntry *>(b);
    if (x->level > y->level)
        return 1;
    if (y->level > x->level)
        return -1;
    return x->group > y->group ? 1 : (x->group < y->group ? -1 : 0);
}

ToneEntry *row_of(std::uint64_t seq)
{
    return tone_rows + (seq % result_row_count) * group_count();
}

// Write the job's finished row and complete it. Its turn has come: the row
// before it is final, so the decay reads what that row finally holds.
void finish_job(AnalysisJob *job)
{
    const std::uint64_t groups = group_count();
    ToneEntry *row = row_of(job->seq);
    const ToneEntry *previous = row_of(job->seq - 1);  // seq 0 decays against row 255
    PitchClassPeak *peaks = pitch_class_rows + (job->seq % result_row_count) * PITCH_CLASS_COUNT;

    result_lock();
    for (std::uint64_t k = 0; k < groups; k++)
        row[k].level = previous[k].level * decay_factor + row[k].level;
    for (int p = 0; p < PITCH_CLASS_COUNT; p++)
        peaks[p] = {0.0, static_cast<double>(p), 0.0};
    // The first and last groups lack a neighbour and are never peaks; ">="
    // lets the highest of equal peaks in a class win.
    for (std::uint64_t j = 1; j + 1 < groups; j++) {
        const double v = row[j].level;
        PitchClassPeak &peak = peaks[j % PITCH_CLASS_COUNT];
        if (v >= row[j - 1].level && v >= row[j + 1].level && v >= peak.level) {
            peak.level = v;
            peak.band = row[j].band;
        }
    }
    if (row_final_job != nullptr)  // a test may set up the rows alone
        row_final_job[job->seq % result_row_count] = job->seq + 1;
    result_unlock();

    free_job(job);
    audio_lock();
    jobs_completed++;
    audio_wakeup();
    audio_unlock();
}

// A job given up for want of memory: no row, a skipped block.
void complete_given_up(AnalysisJob *job)
{
    free_job(job);
    audio_lock();
    blocks_skipped++;
    jobs_completed++;
    audio_wakeup();
    audio_unlock();
}

// Jobs whose passes are done, each waiting for the jobs before it: rows are
// completed in job order (the detectors finish them out of order), so that a
// decayed row never reads a row before it that is not yet final, and every
// row before jobs_completed is final. Collector thread only. Fewer than
// RESULT_ROWS jobs are ever in flight, so their slots never meet.
AnalysisJob *waiting_turn[RESULT_ROWS];
std::uint64_t next_to_complete = 0;  // seq of the job whose turn it is

void complete_in_order(AnalysisJob *job)
{
    waiting_turn[job->seq % RESULT_ROWS] = job;
    for (;;) {
        AnalysisJob *&slot = waiting_turn[next_to_complete % RESULT_ROWS];
        AnalysisJob *next = slot;
        if (next == nullptr || next->seq != next_to_complete)
            return;
        slot = nullptr;
        next_to_complete++;
        if (next->pass == GIVEN_UP_PASS)
            complete_given_up(next);
        else
            finish_job(next);
    }
}

// Sends the refinement tasks; returns how many went out (fewer only when
// memory is short, and then the row simply stays less refined).
std::uint64_t dispatch_refinement(AnalysisJob *job)
{
    std::uint64_t chosen[REFINED_GROUPS];
    refinement_groups(strongest_group(job->semitone_level, group_count()), group_count(), chosen);
    BandTask *tasks[REFINED_GROUPS];
    std::uint64_t made = 0;
    for (std::uint64_t h : chosen) {
        if (BandTask *task = new_task(BANDS_PER_GROUP * h, job))
            tasks[made++] = task;
    }
    job->pending += made;
    job->measuring = made;
    push_tone_tasks(tasks, made);
    return made;
}

}  // namespace

std::uint64_t strongest_group(const double *levels, std::uint64_t groups)
{
    SortEntry entries[MAX_GROUP_COUNT];
    if (groups > MAX_GROUP_COUNT)
        groups = MAX_GROUP_COUNT;
    for (std::uint64_t k = 0; k < groups; k++)
        entries[k] = {levels[k], k};
    // Should the sort fail, its input order stands, as the design allows.
    mergesort(entries, groups, sizeof(SortEntry), compare_entries);
    return entries[groups - 1].group;
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

void collect_task(BandTask *task)
{
    AnalysisJob *job = task->job;
    if (job->pass == GIVEN_UP_PASS) {
        complete_in_order(job);
        return;
    }
    const std::uint64_t g = task->band / BANDS_PER_GROUP;
    if (job->pass <= 1) {
        result_lock();
        row_of(job->seq)[g] = {job->semitone_level[g], 0.0, static_cast<double>(task->band)};
        result_unlock();
    }
    std::free(task);

    if (--job->pending != 0)
        return;
    const std::uint64_t pass = job->pass++;
    if (pass == 0) {
        if (dispatch_refinement(job) == 0) {
            job->pass++;
            complete_in_order(job);
        }
    } else if (pass == 1) {
        complete_in_order(job);
    }
}

void *result_collector(void *)
{
    BandTask *batch[COLLECT_BATCH];
    for (;;) {
        const std::uint64_t count = pop_collect_tasks(batch, COLLECT_BATCH);
        for (std::uint64_t i = 0; i < count; i++)
            collect_task(batch[i]);
    }
    return nullptr;
}

void collector_setup()
{
    queue_init(collect_queue);
    result_row_count = RESULT_ROWS;
    const std::uint64_t groups = group_count();
    tone_rows = static_cast<ToneEntry *>(std::calloc(RESULT_ROWS * groups, sizeof(ToneEntry)));
    third_octave_band = static_cast<std::uint8_t *>(std::malloc(groups));
    for (std::uint64_t g = 0; g < groups; g++)
        third_octave_band[g] = static_cast<std::uint8_t>(iso_third_octave_band(band_freq[BANDS_PER_GROUP * g]));
    pitch_class_rows = static_cast<PitchClassPeak *>(
        std::calloc(RESULT_ROWS * PITCH_CLASS_COUNT, sizeof(PitchClassPeak)));
    correlation_rows = static_cast<CorrelationPeak *>(std::calloc(RESULT_ROWS, sizeof(CorrelationPeak)));
    row_final_job = static_cast<std::uint64_t *>(std::calloc(RESULT_ROWS, sizeof(std::uint64_t)));
    start_engine_thread(result_collector, "orvel-collector");
}
