#include "engine/tone_detector.h"

#include "engine/engine.h"
#include "engine/fundamental.h"
#include "engine/sub_step_search.h"
#include "engine/tone_level.h"

#include <algorithm>
#include <cmath>

namespace {

// AnalysisJob::pass values this stage acts on; any later pass is finished.
constexpr std::uint64_t COARSE_PASS = 0;
constexpr std::uint64_t REFINE_PASS = 1;
// Most tasks a detector takes per hand-over. A batch goes on to the collector
// only when all of it is measured, so a large one would hold back the first.
constexpr std::uint64_t TONE_BATCH = 16;

// The group a refinement task works on, for probe_sub_step.
struct RefinedGroup {
    const Engine *engine;
    const ToneWindow *window;       // the job's window, prepared
    std::uint64_t first_band;       // lowest band of the group
};

SubStepProbe probe_sub_step(std::uint64_t sub_step, std::uint64_t length, void *context)
{
    const auto *group = static_cast<const RefinedGroup *>(context);
    const double step = group->engine->band_step(group->first_band + sub_step);
    const ToneSums sums = group->engine->newest_tone_sums(*group->window, length, step);
    // Stored as tone_level stores it, so sub-step 0 stores what the coarse pass did.
    double level;
    level_of_sums(sums, length, &level);
    return {level, std::hypot(sums.c, sums.s) / (static_cast<double>(length) * 0.5)};
}

}  // namespace

bool count_down_measured(BandTask *const *tasks, std::uint64_t count)
{
    bool pass_measured = false;
    for (std::uint64_t i = 0; i < count; i++) {
        std::uint64_t &left = tasks[i]->job->measuring;
        if (left == 0 || --left == 0)
            pass_measured = true;
    }
    return pass_measured;
}

double Engine::band_step(std::uint64_t band) const
{
    return bands_.freq[band] * tuning_factor() / static_cast<double>(config_.sample_rate);
}

double Engine::window_level(const ToneWindow &window, double *out, double step) const
{
    return level_of_sums(newest_tone_sums(window, config_.window_size, step), config_.window_size, out);
}

void Engine::detect_task(BandTask *task, JobWindow &prepared)
{
    AnalysisJob *job = task->job;
    const ToneWindow &tone_window = prepared.of(*job, config_.window_size);
    if (task->band == FUNDAMENTAL_TASK) {
        const WindowProbe window = window_probe(tone_window);
        const BandProbe probe = window.probe();
        job->fundamental = find_fundamental(job->coarse_level, group_count(), probe);
        // The band counts from the tuned grid's A0; the sound's own frequency.
        if (job->fundamental.found)
            job->fundamental.hz = probe.step(job->fundamental.band, probe.context) * config_.sample_rate;
        return;
    }
    const std::uint64_t band = task->band;
    double *level = &job->semitone_level[band / BANDS_PER_GROUP];
    if (job->pass == COARSE_PASS) {
        window_level(tone_window, level, band_step(band));
    } else if (job->pass == REFINE_PASS) {
        RefinedGroup group{this, &tone_window, band};
        const SubStepGroup search{config_.window_size,
                                  band_step(band + BANDS_PER_GROUP - 1) - band_step(band + BANDS_PER_GROUP - 2),
                                  probe_sub_step, &group};
        const RefinedBand refined = find_strongest_sub_step(search, *level);
        *level = refined.level;
        task->band = band + refined.sub_step;
    }
}

void Engine::detector_main()
{
    lower_analysis_thread_priority();
    BandTask *batch[TONE_BATCH];
    JobWindow prepared;
    const auto share = static_cast<std::uint64_t>(std::max(config_.workers, 1));
    while (const std::uint64_t count = tone_queue.pop_some(batch, TONE_BATCH, share)) {
        for (std::uint64_t i = 0; i < count; i++)
            detect_task(batch[i], prepared);
        // The collector is woken only once a job's pass is measured whole
        // (its measuring count reaches 0, or was never set): until then it
        // could only store part of a row.
        collect_queue.push_all_waking_if(batch, count, count_down_measured);
    }
}

BandProbe WindowProbe::probe() const
{
    return {engine_.window_size(), step, magnitude, this};
}

// Between whole bands the grid is continued geometrically, 256 bands a
// semitone, so a probe can sit anywhere on a lobe.
double WindowProbe::step(double band, const void *context)
{
    const Engine &engine = static_cast<const WindowProbe *>(context)->engine_;
    const double whole = std::min(std::floor(band), static_cast<double>(engine.band_count() - 1));
    return engine.band_step(static_cast<std::uint64_t>(whole)) *
           std::exp2((band - whole) / (12.0 * BANDS_PER_GROUP));
}

double WindowProbe::magnitude(double step, std::uint64_t length, const void *context)
{
    const auto *window = static_cast<const WindowProbe *>(context);
    const ToneSums sums = window->engine_.newest_tone_sums(window->window_, length, step);
    return std::hypot(sums.c, sums.s) / (static_cast<double>(length) * 0.5);
}

WindowProbe Engine::window_probe(const ToneWindow &window) const
{
    return WindowProbe(*this, window);
}

ToneSums Engine::newest_tone_sums(const ToneWindow &window, std::uint64_t length, double step) const
{
    tone_samples_.fetch_add(length, std::memory_order_relaxed);
    if (config_.literal_paths)
        return tone_sums_literal(window.samples() + (window.length() - length), length, step);
    return window.newest_sums(length, step);
}

const ToneWindow &JobWindow::of(const AnalysisJob &job, std::uint64_t length)
{
    if (!prepared_ || job.seq != seq_ || window_.samples() != job.samples) {
        window_.prepare(job.samples, length);
        seq_ = job.seq;
        prepared_ = true;
    }
    return window_;
}

void Engine::detect_task(BandTask *task)
{
    JobWindow prepared;
    detect_task(task, prepared);
}
