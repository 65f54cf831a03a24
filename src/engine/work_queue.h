// The records that travel through the analysis pipeline and the blocking
// queue that joins its stages (engine.h draws the pipeline).
//
// The queues are intrusive FIFO tail queues: items are linked through their
// own next / prev_link fields, nothing is copied or allocated by a queue, and
// there is no bound on a queue's length. Each queue has its own mutex and
// condition variable, held only inside its functions.
#pragma once

#include "engine/engine_types.h"
#include "engine/mutex.h"

#include <algorithm>
#include <cstdint>

struct AnalysisJob;

// One semitone group of one job: a record inside its job's own block, handed
// out by Engine::new_task (not zeroed), never freed by itself: it goes with
// its job.
struct BandTask {
    BandTask *next;                // queue link
    BandTask **prev_link;          // queue link
    std::uint64_t band;            // lowest band of the group, the refined band, or FUNDAMENTAL_TASK
    AnalysisJob *job;              // the job this task measures
};

// BandTask::band of the task that finds its job's fundamental, sent with the
// refinement.
constexpr std::uint64_t FUNDAMENTAL_TASK = ~std::uint64_t{0};

// AnalysisJob::pass of a job that could not go on for want of memory. Its
// give_up task takes it to the collector, which completes it in its turn
// without a row.
constexpr std::uint64_t GIVEN_UP_PASS = 3;

// Tasks a job needs beyond one per semitone group: three refinement tasks
// and the fundamental's.
constexpr std::uint64_t TASKS_BEYOND_GROUPS = 4;

// One block of sound on its way through the pipeline. new_job() makes it as
// ONE allocation (or takes one kept for reuse) holding this record, its five
// arrays and then room for its G + TASKS_BEYOND_GROUPS tasks; the collector
// hands it back whole with free_job().
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
    // G levels as the coarse pass left them, for the fundamental: the
    // refinement overwrites semitone_level meanwhile.
    double *coarse_level;
    FundamentalReading fundamental;  // not found until its task has run
    std::uint64_t bytes;           // size of the whole allocation: Engine::job_bytes()
    BandTask *tasks;               // room for task_room tasks, after the arrays
    std::uint64_t task_room;       // G + TASKS_BEYOND_GROUPS
    std::uint64_t tasks_made;      // tasks handed out by new_task so far
    BandTask give_up;              // needs no allocation, for when tasks could not be had
};

// A blocking FIFO of intrusive items. push and pop take the queue's own lock
// only for their own length; nothing is copied or allocated. close() makes
// every pop return empty-handed at once, waiting takers included, so that
// the threads that take from it can end.
template <typename Item>
class WorkQueue {
public:
    // Append at the tail and wake one waiting taker. Any thread.
    void push(Item *item) EXCLUDES(mutex_)
    {
        MutexLock lock(mutex_);
        append_locked(&item, 1);
        cond_.notify_one();
    }

    // Append count items in their order under one lock and wake every
    // waiting taker: one hand-over instead of count.
    void push_all(Item *const *items, std::uint64_t count) EXCLUDES(mutex_)
    {
        if (count == 0)
            return;
        MutexLock lock(mutex_);
        append_locked(items, count);
        cond_.broadcast();
    }

    // As push_all, but wakes the takers only when wake(items, count), run
    // under the queue's lock, says so.
    template <typename Wake>
    void push_all_waking_if(Item *const *items, std::uint64_t count, Wake &&wake) EXCLUDES(mutex_)
    {
        if (count == 0)
            return;
        MutexLock lock(mutex_);
        append_locked(items, count);
        if (wake(items, count))
            cond_.broadcast();
    }

    // Remove and return the head item, blocking while the queue is empty;
    // null once closed.
    Item *pop() EXCLUDES(mutex_)
    {
        Item *item = nullptr;
        return pop_some(&item, 1) == 1 ? item : nullptr;
    }

    // Remove up to max items from the head into out, in order, blocking
    // while the queue is empty; returns how many (at least 1, or 0 once
    // closed). With share set, takes at most 1/share of what is queued (but
    // at least one), so that share takers waking together divide a burst.
    std::uint64_t pop_some(Item **out, std::uint64_t max, std::uint64_t share = 1) EXCLUDES(mutex_)
    {
        MutexLock lock(mutex_);
        while (first_ == nullptr && !closed_)
            cond_.wait(mutex_);
        if (closed_)
            return 0;
        std::uint64_t queued = 0;
        for (const Item *item = first_; item != nullptr && queued < max * share; item = item->next)
            queued++;
        const std::uint64_t take = std::max<std::uint64_t>(1, std::min(max, queued / std::max<std::uint64_t>(share, 1)));
        std::uint64_t taken = 0;
        while (taken < take)
            out[taken++] = unlink_head_locked();
        return taken;
    }

    // Remove and return the head item without waiting; null when empty.
    // Also after close(), to take back what was left.
    Item *try_pop() EXCLUDES(mutex_)
    {
        MutexLock lock(mutex_);
        return first_ != nullptr ? unlink_head_locked() : nullptr;
    }

    bool empty() const EXCLUDES(mutex_)
    {
        MutexLock lock(mutex_);
        return first_ == nullptr;
    }

    void close() EXCLUDES(mutex_)
    {
        MutexLock lock(mutex_);
        closed_ = true;
        cond_.broadcast();
    }

private:
    void append_locked(Item *const *items, std::uint64_t count) REQUIRES(mutex_)
    {
        for (std::uint64_t i = 0; i < count; i++) {
            Item *item = items[i];
            item->next = nullptr;
            item->prev_link = last_;
            *last_ = item;
            last_ = &item->next;
        }
    }

    Item *unlink_head_locked() REQUIRES(mutex_)
    {
        Item *item = first_;
        if (item->next != nullptr)
            item->next->prev_link = item->prev_link;
        else
            last_ = item->prev_link;
        *item->prev_link = item->next;
        return item;
    }

    mutable Mutex mutex_;
    CondVar cond_;
    Item *first_ GUARDED_BY(mutex_) = nullptr;   // head item, null when empty
    Item **last_ GUARDED_BY(mutex_) = &first_;   // the next field of the tail item, or &first_ when empty
    bool closed_ GUARDED_BY(mutex_) = false;
};

// Jobs in flight stay within this many bytes unless the configuration says
// otherwise, and below this many per worker.
constexpr std::uint64_t JOB_MEMORY_BUDGET = 256ull << 20;  // bytes
constexpr std::uint64_t JOBS_PER_WORKER = 2;
