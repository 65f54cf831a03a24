#include "engine/work_queue.h"

#include "engine/engine_state.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>

WorkQueue<AnalysisJob> job_queue;
WorkQueue<BandTask> tone_queue;
WorkQueue<BandTask> collect_queue;

namespace {

// Jobs handed back for reuse, linked through next.
pthread_mutex_t kept_jobs_mutex = PTHREAD_MUTEX_INITIALIZER;
AnalysisJob *kept_jobs = nullptr;
std::uint64_t kept_job_count = 0;

// A kept job of exactly this many bytes, or null. Others are freed: the
// window only changes in tests.
AnalysisJob *take_kept_job(std::uint64_t bytes)
{
    pthread_mutex_lock(&kept_jobs_mutex);
    AnalysisJob *job = kept_jobs;
    if (job != nullptr) {
        kept_jobs = job->next;
        kept_job_count--;
    }
    pthread_mutex_unlock(&kept_jobs_mutex);
    if (job != nullptr && job->bytes != bytes) {
        std::free(job);
        job = nullptr;
    }
    return job;
}

}  // namespace

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
    const std::uint64_t bytes = sizeof(AnalysisJob) + doubles * sizeof(double);

    AnalysisJob *job = take_kept_job(bytes);
    if (job != nullptr) {
        std::memset(static_cast<void *>(job), 0, sizeof(AnalysisJob));
        // Only the literal correlation adds into product; the spectral one
        // writes the lags it leaves there.
        if (literal_paths)
            std::memset(reinterpret_cast<double *>(job + 1) + n + BLOCK_LEN, 0, (n + BLOCK_LEN) * sizeof(double));
    } else {
        job = static_cast<AnalysisJob *>(std::calloc(1, bytes));
        if (job == nullptr)
            return nullptr;
    }
    auto *arrays = reinterpret_cast<double *>(job + 1);
    job->samples = arrays;
    job->reference = job->samples + n;
    job->product = job->reference + BLOCK_LEN;
    job->semitone_level = job->product + n + BLOCK_LEN;
    job->bytes = bytes;
    return job;
}

void free_job(AnalysisJob *job)
{
    if (job == nullptr)
        return;
    // No more than may be in flight at once, within the memory budget.
    const std::uint64_t most = std::min<std::uint64_t>(
        JOBS_PER_WORKER * static_cast<std::uint64_t>(std::max(worker_count, 1)),
        std::max<std::uint64_t>(1, JOB_MEMORY_BUDGET / job->bytes));
    pthread_mutex_lock(&kept_jobs_mutex);
    if (kept_job_count < most) {
        job->next = kept_jobs;
        kept_jobs = job;
        kept_job_count++;
        job = nullptr;
    }
    pthread_mutex_unlock(&kept_jobs_mutex);
    std::free(job);
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

void push_measured_tasks(BandTask *const *tasks, std::uint64_t count)
{
    if (count == 0)
        return;
    pthread_mutex_lock(&collect_queue.mutex);
    queue_append_locked(collect_queue, tasks, count);
    bool pass_measured = false;
    for (std::uint64_t i = 0; i < count; i++) {
        std::uint64_t &left = tasks[i]->job->measuring;
        if (left == 0 || --left == 0)
            pass_measured = true;
    }
    if (pass_measured)
        pthread_cond_broadcast(&collect_queue.cond);
    pthread_mutex_unlock(&collect_queue.mutex);
}
