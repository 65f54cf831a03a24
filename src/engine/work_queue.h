// The records that travel through the analysis pipeline and the three
// blocking queues that join its stages:
//   block assembler -> job_queue -> correlation workers -> tone_queue
//   -> tone detectors -> collect_queue -> result collector
//   (the collector sends three refinement tasks per job back to tone_queue).
//
// The queues are intrusive FIFO tail queues: items are linked through their
// own next / prev_link fields, nothing is copied or allocated by a queue, and
// there is no bound on a queue's length. Each queue has its own mutex and
// condition variable, held only inside push and pop.
#pragma once

#include <pthread.h>

#include <algorithm>
#include <cstdint>

struct AnalysisJob;

// One semitone group of one job. A plain malloc'ed record (not zeroed); the
// collector frees it, unless it is a job's own give_up task.
struct BandTask {
    BandTask *next;                // queue link
    BandTask **prev_link;          // queue link
    std::uint64_t band;            // lowest band of the group, or the refined band
    AnalysisJob *job;              // the job this task measures
};

// AnalysisJob::pass of a job that could not go on for want of memory. Its
// give_up task takes it to the collector, which completes it in its turn
// without a row.
constexpr std::uint64_t GIVEN_UP_PASS = 3;

// One block of sound on its way through the pipeline. new_job() makes it as
// one allocation holding this record followed by its four arrays; the
// collector hands it back with free_job().
struct AnalysisJob {
    AnalysisJob *next;             // queue link, null at the tail
    AnalysisJob **prev_link;       // queue link: the pointer that points here
    std::uint64_t seq;             // job number; result row seq mod R
    std::uint64_t pending;         // tasks not yet taken by the collector
    // Tasks of the current pass not yet measured, set before they go to the
    // detectors and counted down under collect_queue's lock (0: not counted).
    std::uint64_t measuring;
    std::uint64_t pass;            // 0 coarse, 1 refinement, 2 finished, or GIVEN_UP_PASS
    double *samples;               // N main-channel samples, oldest first
    double *reference;             // 1024 correlation-channel samples, time-reversed
    double *product;               // N + 1024 convolution accumulator (lags at 1024 ..)
    double *semitone_level;        // G tone levels, one per semitone group
    std::uint64_t bytes;           // size of the whole allocation
    BandTask give_up;              // needs no allocation, for when tasks could not be had
};

template <typename Item>
struct WorkQueue {
    Item *first = nullptr;         // head item, null when empty
    Item **last = &first;          // the next field of the tail item, or &first when empty
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t cond = PTHREAD_COND_INITIALIZER;
};

extern WorkQueue<AnalysisJob> job_queue;
extern WorkQueue<BandTask> tone_queue;
extern WorkQueue<BandTask> collect_queue;

// (Re)initialise a queue's mutex and condition variable with default
// attributes. Start-up only, while no thread uses the queue.
template <typename Item>
void queue_init(WorkQueue<Item> &queue)
{
    pthread_mutex_init(&queue.mutex, nullptr);
    pthread_cond_init(&queue.cond, nullptr);
}

// Append at the tail and wake one waiting taker. Any thread; never blocks
// beyond the queue's own lock.
template <typename Item>
void queue_push(WorkQueue<Item> &queue, Item *item)
{
    pthread_mutex_lock(&queue.mutex);
    item->next = nullptr;
    item->prev_link = queue.last;
    *queue.last = item;
    queue.last = &item->next;
    pthread_cond_signal(&queue.cond);
    pthread_mutex_unlock(&queue.mutex);
}

// Remove and return the head item, blocking while the queue is empty.
template <typename Item>
Item *queue_pop(WorkQueue<Item> &queue)
{
    pthread_mutex_lock(&queue.mutex);
    while (queue.first == nullptr)
        pthread_cond_wait(&queue.cond, &queue.mutex);
    Item *item = queue.first;
    if (item->next != nullptr)
        item->next->prev_link = item->prev_link;
    else
        queue.last = item->prev_link;
    *item->prev_link = item->next;
    pthread_mutex_unlock(&queue.mutex);
    return item;
}

// Append count items at the tail in their order. Caller holds queue.mutex.
template <typename Item>
void queue_append_locked(WorkQueue<Item> &queue, Item *const *items, std::uint64_t count)
{
    for (std::uint64_t i = 0; i < count; i++) {
        Item *item = items[i];
        item->next = nullptr;
        item->prev_link = queue.last;
        *queue.last = item;
        queue.last = &item->next;
    }
}

// Append count items at the tail in their order, under one lock, and wake
// every waiting taker: one hand-over instead of count.
template <typename Item>
void queue_push_all(WorkQueue<Item> &queue, Item *const *items, std::uint64_t count)
{
    if (count == 0)
        return;
    pthread_mutex_lock(&queue.mutex);
    queue_append_locked(queue, items, count);
    pthread_cond_broadcast(&queue.cond);
    pthread_mutex_unlock(&queue.mutex);
}

// Remove up to max items from the head into out, in order, blocking while
// the queue is empty; returns how many (at least 1). With share set, takes
// at most 1/share of what is queued (but at least one), so that share
// takers waking together divide a burst between them.
template <typename Item>
std::uint64_t queue_pop_some(WorkQueue<Item> &queue, Item **out, std::uint64_t max, std::uint64_t share = 1)
{
    pthread_mutex_lock(&queue.mutex);
    while (queue.first == nullptr)
        pthread_cond_wait(&queue.cond, &queue.mutex);
    std::uint64_t queued = 0;
    for (const Item *item = queue.first; item != nullptr && queued < max * share; item = item->next)
        queued++;
    const std::uint64_t take = std::max<std::uint64_t>(1, std::min(max, queued / std::max<std::uint64_t>(share, 1)));
    std::uint64_t taken = 0;
    while (taken < take) {
        Item *item = queue.first;
        if (item->next != nullptr)
            item->next->prev_link = item->prev_link;
        else
            queue.last = item->prev_link;
        *item->prev_link = item->next;
        out[taken++] = item;
    }
    pthread_mutex_unlock(&queue.mutex);
    return taken;
}

// A task for the group starting at band, of job; null when memory is short.
BandTask *new_task(std::uint64_t band, AnalysisJob *job);

// A job sized for the current input_history_length and band_count, its
// array pointers set; null when memory is short. A new allocation is all
// zeros. A job handed back by free_job() and used again has its record
// zeroed, and its product too when literal_paths is set (the literal
// correlation adds into it); everything else keeps what the last job left:
// the assembler, the correlation and the detectors write every value of it
// that anyone reads. Any thread.
AnalysisJob *new_job();

// Hand a job back: kept for new_job() while fewer are kept than may be in
// flight, else freed. Jobs are large (the window twice), and allocating
// them anew for every block makes the allocator map and unmap memory, which
// stalls every processor the process runs on. Any thread; null is ignored.
void free_job(AnalysisJob *job);

void push_job(AnalysisJob *job);
void push_tone_task(BandTask *task);
void push_collect_task(BandTask *task);
AnalysisJob *pop_job();
BandTask *pop_tone_task();
BandTask *pop_collect_task();
// The batch forms: one lock and one wake-up per batch. pop_tone_tasks takes
// a share of the queue fit for worker_count detectors, at most max.
void push_tone_tasks(BandTask *const *tasks, std::uint64_t count);
void push_collect_tasks(BandTask *const *tasks, std::uint64_t count);
// Measured tasks to the collector, which is woken only once a job's pass is
// measured whole (its measuring count reaches 0, or was never set): until
// then it could only store part of a row. Detector threads.
void push_measured_tasks(BandTask *const *tasks, std::uint64_t count);
std::uint64_t pop_tone_tasks(BandTask **out, std::uint64_t max);
std::uint64_t pop_collect_tasks(BandTask **out, std::uint64_t max);

// Jobs made but not completed at once are bounded: few enough that their
// memory stays within job_memory_budget, their result rows do not collide,
// and no more than JOBS_PER_WORKER wait per worker, so that the analysis
// stays on recent sound when it cannot keep up.
constexpr std::uint64_t JOB_MEMORY_BUDGET = 256ull << 20;  // bytes
constexpr std::uint64_t JOBS_PER_WORKER = 2;
extern std::uint64_t job_memory_budget;  // audio_mutex; JOB_MEMORY_BUDGET unless a test lowers it
std::uint64_t job_limit();  // caller holds audio_mutex
// Bytes one job and its tasks take at the current window and band count.
std::uint64_t job_bytes();
