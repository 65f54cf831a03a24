#include "support/offline_job.h"

#include "engine/pitch.h"
#include "engine/tone_detector.h"
#include "engine/work_queue.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

[[noreturn]] void out_of_memory()
{
    std::fprintf(stderr, "analyse_window: out of memory\n");
    std::abort();
}

}  // namespace

OfflineRow analyse_window(Engine &engine, const double *samples, bool with_fundamental)
{
    const std::uint64_t groups = engine.group_count();
    AnalysisJob *job = engine.new_job();
    if (job == nullptr)
        out_of_memory();
    // The row lands in the slot of the next job to complete, and the
    // collector completes jobs in order.
    const std::uint64_t seq = engine.job_counts().completed;
    job->seq = seq;
    std::memcpy(job->samples, samples, engine.window_size() * sizeof(double));

    // The coarse pass measured whole before the collector sees any of it, as
    // a detector's batch would be.
    // One prepared window for the job, as a detector thread keeps it.
    JobWindow prepared;
    std::vector<BandTask *> coarse(groups);
    for (std::uint64_t g = 0; g < groups; g++) {
        coarse[g] = engine.new_task(g * BANDS_PER_GROUP, job);
        if (coarse[g] == nullptr)
            out_of_memory();
        engine.detect_task(coarse[g], prepared);
    }
    job->pending = groups;
    OfflineRow out;
    out.levels.assign(job->semitone_level, job->semitone_level + groups);

    // The collector sends the refinement back to tone_queue; the detectors
    // measure it and the collector finishes the row (and frees the job).
    for (BandTask *task : coarse)
        engine.collect_task(task, prepared);
    std::vector<BandTask *> refined;
    while (BandTask *task = engine.tone_queue.try_pop())
        refined.push_back(task);
    for (BandTask *task : refined) {
        if (with_fundamental || task->band != FUNDAMENTAL_TASK)
            engine.detect_task(task, prepared);
    }
    for (BandTask *task : refined)
        engine.collect_task(task, prepared);

    engine.read_results([&](const ResultView &view) {
        const PitchClassPeak *peaks = view.pitch_classes(seq);
        int strongest = 0;
        for (int p = 0; p < PITCH_CLASS_COUNT; p++) {
            // The first of equal levels, as the read-out picks it.
            if (peaks[p].level > peaks[strongest].level)
                strongest = p;
        }
        out.readout_band = static_cast<std::int64_t>(peaks[strongest].band);
        out.readout_class = strongest;
        out.fundamental = view.fundamental(seq);
    });
    return out;
}
