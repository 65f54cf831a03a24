#include "engine/work_queue.h"

#include "engine/engine_state.h"

#include <algorithm>
#include <cstdlib>
#include <limits>

WorkQueue<AnalysisJob> job_queue;
WorkQueue<BandTask> tone_queue;
WorkQueue<BandTask> collect_queue;

AnalysisJob *new_job()
{
    const std::uint64_t n = input_history_length;
    const std::uint64_t g = group_count();
    // samples (N) + reference (1024) + product (N + 1024) + semitone_level (G)
    const std::uint64_t max_doubles =
        (std::numeric_limits<std::size_t>::max() - sizeof(AnalysisJob)) / sizeof(double);
    if (n > max_doubles / 4 || g > max_doubles / 4)
        return nullptr;
    const std::uint64_t doubles = n + BLOCK_LEN + n + BLOCK_LEN + g;

    void *memory = std::calloc(1, sizeof(AnalysisJob) + doubles * sizeof(double));
    if (memory == nullptr)
        return nullptr;
    auto *job = static_cast<AnalysisJob *>(memory);
    auto *arrays = reinterpret_cast<double *>(job + 1);
    job->samples = arrays;
    job->reference = job->samples + n;
    job->product = job->reference + BLOCK_LEN;
    job->semitone_level = job->product + n + BLOCK_LEN;
    return job;
}

BandTask *new_task(std::uint64_t band, AnalysisJob *job)
{
    auto *task = static_cast<BandTask *>(std::malloc(sizeof(BandTask)));
    if (task != nullptr) {
        task->band = band;
        task->job = job;
    }
    return task;
}

void push_job(AnalysisJob *job) { queue_push(job_queue, job); }
void push_tone_task(BandTask *task) { queue_push(tone_queue, task); }
void push_collect_task(BandTask *task) { queue_push(collect_queue, task); }
AnalysisJob *pop_job() { return queue_pop(job_queue); }
BandTask *pop_tone_task() { return queue_pop(tone_queue); }
BandTask *pop_collect_task() { return queue_pop(collect_queue); }

std::uint64_t job_memory_budget = JOB_MEMORY_BUDGET;

std::uint64_t job_bytes()
{
    const std::uint64_t groups = group_count();
    return sizeof(AnalysisJob) + (2 * input_history_length + 2 * BLOCK_LEN + groups) * sizeof(double)
        + (groups + 3) * sizeof(BandTask);
}

std::uint64_t job_limit()
{
    // Rows are reused every result_row_count jobs, and the in-flight count is
    // shown modulo that, so stay one below it.
    constexpr std::uint64_t row_bound = 255;
    return std::clamp<std::uint64_t>(job_memory_budget / job_bytes(), 1, row_bound);
}
