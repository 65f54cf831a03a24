#include "engine/tone_detector.h"

#include "engine/engine_state.h"
#include "engine/tone_level.h"

#include <QThread>

#include <algorithm>
#include <cmath>

namespace {

// AnalysisJob::pass values this stage acts on; any later pass is finished.
constexpr std::uint64_t COARSE_PASS = 0;
constexpr std::uint64_t REFINE_PASS = 1;
// Most tasks a detector takes per hand-over. A batch goes on to the collector
// only when all of it is measured, so a large one would hold back the first.
constexpr std::uint64_t TONE_BATCH = 16;

// The level of band step `step` in a job's window, by the path chosen at
// start-up.
double window_level(const double *samples, double *out, double step)
{
    return literal_paths ? tone_level_literal(samples, window_size, out, step)
                         : tone_level(samples, window_size, out, step);
}

// The group a refinement task works on, for measure_sub_step.
struct RefinedGroup {
    const double *samples;     // the job's window
    std::uint64_t first_band;  // lowest band of the group
};

double measure_sub_step(std::uint64_t sub_step, void *context)
{
    const auto *group = static_cast<const RefinedGroup *>(context);
    double level;
    window_level(group->samples, &level, band_step(group->first_band + sub_step));
    return level;
}

}  // namespace

double band_step(std::uint64_t band)
{
    return band_freq[band] * tuning_factor.load(std::memory_order_relaxed) /
           static_cast<double>(sample_rate);
}

RefinedBand refine_sub_step(double coarse_level, SubStepLevel measure, void *context)
{
    RefinedBand best{0, coarse_level};
    for (std::uint64_t d = BANDS_PER_GROUP / 2; d != 0; d /= 2) {
        const std::uint64_t candidate = best.sub_step | d;
        const double level = measure(candidate, context);
        // Only a strictly stronger best holds its place, so ties go up.
        if (!(best.level > level))
            best = {candidate, level};
    }
    return best;
}

void detect_task(BandTask *task)
{
    AnalysisJob *job = task->job;
    const std::uint64_t band = task->band;
    double *level = &job->semitone_level[band / BANDS_PER_GROUP];
    if (job->pass == COARSE_PASS) {
        window_level(job->samples, level, band_step(band));
    } else if (job->pass == REFINE_PASS) {
        RefinedGroup group{job->samples, band};
        const RefinedBand refined = refine_sub_step(*level, measure_sub_step, &group);
        *level = refined.level;
        task->band = band + refined.sub_step;
    }
}

void *tone_detector(void *)
{
    lower_analysis_thread_priority();
    BandTask *batch[TONE_BATCH];
    for (;;) {
        const std::uint64_t count = pop_tone_tasks(batch, TONE_BATCH);
        for (std::uint64_t i = 0; i < count; i++)
            detect_task(batch[i]);
        push_collect_tasks(batch, count);
    }
}
