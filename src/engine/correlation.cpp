#include "engine/correlation.h"

#include "engine/engine_state.h"
#include "engine/kernels.h"

#include <QThread>

#include <cstdlib>

void correlation_setup()
{
    queue_init(job_queue);
    correlation_sum = static_cast<double *>(std::calloc(window_size, sizeof(double)));
    for (int i = 0; i < worker_count; i++)
        start_engine_thread(correlation_worker);
}

void correlate_job(AnalysisJob *job)
{
    job->pending = group_count();
    const std::uint64_t n = input_history_length;
    for (std::uint64_t offset = 0; offset != n; offset += BLOCK_LEN)
        convolve_add(job->samples + offset, job->reference, job->product + offset, BLOCK_LEN);

    // product[1024 + i] lines the reference block up with the history taken
    // window_size - 1 - i samples earlier, with all 1024 samples overlapping.
    const double *lags = job->product + BLOCK_LEN;
    result_lock();
    const double decay = decay_factor;
    for (std::uint64_t i = 0; i < window_size; i++)
        correlation_sum[i] = correlation_sum[i] * decay + lags[i];
    result_unlock();
}

bool dispatch_coarse_tasks(AnalysisJob *job)
{
    const std::uint64_t groups = group_count();
    BandTask *tasks[MAX_GROUP_COUNT];
    if (groups > MAX_GROUP_COUNT)
        return false;
    for (std::uint64_t g = 0; g < groups; g++) {
        tasks[g] = new_task(BANDS_PER_GROUP * g, job);
        if (tasks[g] == nullptr) {
            for (std::uint64_t k = 0; k < g; k++)
                std::free(tasks[k]);
            return false;
        }
    }
    for (std::uint64_t g = 0; g < groups; g++)
        push_tone_task(tasks[g]);
    return true;
}

void abandon_job(AnalysisJob *job)
{
    std::free(job);
    audio_lock();
    blocks_skipped++;
    jobs_completed++;
    audio_wakeup();
    audio_unlock();
}

void *correlation_worker(void *)
{
    lower_analysis_thread_priority();
    for (;;) {
        AnalysisJob *job = pop_job();
        correlate_job(job);
        if (!dispatch_coarse_tasks(job))
            abandon_job(job);
    }
    return nullptr;
}
