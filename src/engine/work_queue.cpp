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
void push_tone_tasks(BandTask *const *tasks, std::uint64_t count) { queue_push_all(tone_queue, tasks, count); }
void push_collect_tasks(BandTask *const *tasks, std::uint64_t count) { queue_push_all(collect_queue, tasks, count); }

std::uint64_t pop_tone_tasks(BandTask **out, std::uint64_t max)
{
    return queue_pop_some(tone_queue, out, max, static_cast<std::uint64_t>(std::max(worker_count, 1)));
}

std::uint64_t pop_collect_tasks(BandTask **out, std::uint64_t max)
{
    return queue_pop_some(collect_queue, out, max);
}

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
    // A few jobs per worker keep every worker busy; more would only queue up
    // and make what the window shows older.
    const std::uint64_t latency_bound = JOBS_PER_WORKER * static_cast<std::uint64_t>(std::max(worker_count, 1));
    return std::clamp<std::uint64_t>(std::min(job_memory_budget / job_bytes(), latency_bound), 1, row_bound);
}
