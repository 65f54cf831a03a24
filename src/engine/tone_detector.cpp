#include "engine/tone_detector.h"

#include "engine/engine_state.h"
#include "engine/sub_step_search.h"
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
    tone_samples_measured.fetch_add(window_size, std::memory_order_relaxed);
    return literal_paths ? tone_level_literal(samples, window_size, out, step)
                         : tone_level(samples, window_size, out, step);
}

// The group a refinement task works on, for probe_sub_step.
struct RefinedGroup {
    const double *samples;     // the job's window
    std::uint64_t first_band;  // lowest band of the group
};

SubStepProbe probe_sub_step(std::uint64_t sub_step, std::uint64_t length, void *context)
{
    const auto *group = static_cast<const RefinedGroup *>(context);
    const double *newest = group->samples + (window_size - length);
    const double step = band_step(group->first_band + sub_step);
    tone_samples_measured.fetch_add(length, std::memory_order_relaxed);
    const ToneSums sums = literal_paths ? tone_sums_literal(newest, length, step) : tone_sums(newest, length, step);
    // Stored as tone_level stores it, so sub-step 0 stores what the coarse pass did.
    double level;
    level_of_sums(sums, length, &level);
    return {level, std::hypot(sums.c, sums.s) / (static_cast<double>(length) * 0.5)};
}

}  // namespace

std::atomic<std::uint64_t> tone_samples_measured{0};

double band_step(std::uint64_t band)
{
    return band_freq[band] * tuning_factor.load(std::memory_order_relaxed) /
           static_cast<double>(sample_rate);
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
        const SubStepGroup search{window_size, band_step(band + BANDS_PER_GROUP - 1) - band_step(band + BANDS_PER_GROUP - 2),
                                  probe_sub_step, &group};
        const RefinedBand refined = find_strongest_sub_step(search, *level);
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
        push_measured_tasks(batch, count);
    }
}
