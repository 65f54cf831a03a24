#include "engine/engine.h"
#include "engine/engine_types.h"
#include "engine/tone_detector.h"
#include "engine/work_queue.h"
#include "support/background_program.h"
#include "support/thread_state.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

TEST(WorkQueue, PushOntoEmptyAndPopBack)
{
    WorkQueue<BandTask> queue;
    EXPECT_TRUE(queue.empty());
    EXPECT_EQ(queue.try_pop(), nullptr);

    BandTask task{};
    queue.push(&task);
    EXPECT_FALSE(queue.empty());
    EXPECT_EQ(task.next, nullptr);
    ASSERT_NE(task.prev_link, nullptr);
    EXPECT_EQ(*task.prev_link, &task);

    EXPECT_EQ(queue.pop(), &task);
    EXPECT_TRUE(queue.empty());
    EXPECT_EQ(queue.try_pop(), nullptr);
    // The tail went back to the head: the next push is found again.
    queue.push(&task);
    EXPECT_EQ(queue.try_pop(), &task);
    EXPECT_TRUE(queue.empty());
}

TEST(WorkQueue, FifoOrderWithLinksKept)
{
    WorkQueue<BandTask> queue;
    std::vector<BandTask> tasks(1000);
    for (std::size_t i = 0; i < tasks.size(); i++) {
        tasks[i].band = i;
        queue.push(&tasks[i]);
    }
    // Interleave pops and pushes so the tail moves while the head does.
    for (std::size_t i = 0; i < tasks.size(); i++) {
        BandTask *task = queue.pop();
        ASSERT_EQ(task->band, i);
        // The new head's link points at the queue's head pointer, which
        // points back at it.
        if (task->next != nullptr) {
            ASSERT_EQ(*task->next->prev_link, task->next);
        }
        if (i % 3 == 0)
            queue.push(task);
    }
    std::size_t expected = 0;
    while (BandTask *task = queue.try_pop()) {
        EXPECT_EQ(task->band, expected);
        expected += 3;
    }
    EXPECT_EQ(expected, 1002u);
    EXPECT_TRUE(queue.empty());
}

// push_all keeps the order it was given; pop_some takes from the head, at
// most max and, with share, at most 1/share of what is queued but never
// nothing. Each step's count worked out by hand from the queue's length.
TEST(WorkQueue, PopSomeTakesItsShareInOrder)
{
    WorkQueue<BandTask> queue;
    std::vector<BandTask> tasks(10);
    std::vector<BandTask *> pointers;
    for (std::size_t i = 0; i < tasks.size(); i++) {
        tasks[i].band = i;
        pointers.push_back(&tasks[i]);
    }
    queue.push_all(pointers.data(), pointers.size());

    const struct {
        std::uint64_t max;
        std::uint64_t share;
        std::uint64_t taken;  // with the length queued before the call
    } steps[] = {
        {4, 1, 4},  // 10 queued: max bounds
        {4, 2, 3},  // 6 queued: half of them
        {4, 2, 1},  // 3 queued: 3 / 2 rounds down to 1
        {4, 4, 1},  // 2 queued: 2 / 4 is none, yet one is taken
        {4, 1, 1},  // 1 queued: what there is
    };
    std::uint64_t next = 0;
    for (const auto &step : steps) {
        SCOPED_TRACE(next);
        BandTask *out[5] = {nullptr, nullptr, nullptr, nullptr, nullptr};
        BandTask sentinel{};
        out[step.max] = &sentinel;  // past the end of what may be written
        ASSERT_EQ(queue.pop_some(out, step.max, step.share), step.taken);
        for (std::uint64_t k = 0; k < step.taken; k++)
            EXPECT_EQ(out[k]->band, next++);
        EXPECT_EQ(out[step.max], &sentinel);
    }
    EXPECT_EQ(next, 10u);
    EXPECT_TRUE(queue.empty());
    queue.push_all(pointers.data(), 0);  // nothing to hand over
    EXPECT_TRUE(queue.empty());
}

// Both takers block on the empty queue, and two pushes hand one item to each.
TEST(WorkQueue, TwoBlockedTakersResumeAfterTwoPushes)
{
    WorkQueue<BandTask> queue;
    std::atomic<pid_t> tids[2] = {0, 0};
    auto taker = [&queue, &tids](int which) {
        tids[which] = gettid();
        return queue.pop()->band;
    };
    std::future<std::uint64_t> a = std::async(std::launch::async, taker, 0);
    std::future<std::uint64_t> b = std::async(std::launch::async, taker, 1);
    ASSERT_TRUE(wait_for([&tids] { return tids[0] != 0 && tids[1] != 0 && thread_asleep(tids[0]) && thread_asleep(tids[1]); },
                         std::chrono::seconds(30)))
        << "the takers did not block on the empty queue";
    EXPECT_EQ(a.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
    EXPECT_EQ(b.wait_for(std::chrono::seconds(0)), std::future_status::timeout);

    BandTask first{};
    BandTask second{};
    first.band = 1;
    second.band = 2;
    queue.push(&first);
    queue.push(&second);
    ASSERT_EQ(a.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    ASSERT_EQ(b.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(a.get() + b.get(), 3u);
}

// Closing wakes every blocked taker empty-handed, and what was left can
// still be taken back without waiting.
TEST(WorkQueue, CloseReleasesBlockedTakers)
{
    WorkQueue<BandTask> queue;
    auto taker = [&queue] { return queue.pop(); };
    std::future<BandTask *> a = std::async(std::launch::async, taker);
    std::future<BandTask *> b = std::async(std::launch::async, taker);
    queue.close();
    ASSERT_EQ(a.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    ASSERT_EQ(b.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(a.get(), nullptr);
    EXPECT_EQ(b.get(), nullptr);

    BandTask left{};
    queue.push(&left);
    BandTask *batch[4];
    EXPECT_EQ(queue.pop_some(batch, 4), 0u);
    EXPECT_EQ(queue.try_pop(), &left);
}

// One producer, two takers: every item arrives exactly once, and each taker
// sees the items in the order they were pushed.
TEST(WorkQueue, StressAgainstReference)
{
    constexpr std::uint64_t item_count = 50000;
    WorkQueue<BandTask> queue;
    std::vector<BandTask> items(item_count + 2);
    std::vector<int> seen(item_count, 0);
    auto taker = [&] {
        std::vector<std::uint64_t> got;
        for (;;) {
            const std::uint64_t band = queue.pop()->band;
            if (band >= item_count)
                return got;
            got.push_back(band);
        }
    };
    std::future<std::vector<std::uint64_t>> a = std::async(std::launch::async, taker);
    std::future<std::vector<std::uint64_t>> b = std::async(std::launch::async, taker);
    for (std::uint64_t i = 0; i < item_count + 2; i++) {
        items[i].band = i;
        queue.push(&items[i]);
    }
    for (auto *taken : {&a, &b}) {
        const std::vector<std::uint64_t> got = taken->get();
        for (std::size_t k = 0; k < got.size(); k++) {
            seen[got[k]]++;
            if (k > 0) {
                ASSERT_LT(got[k - 1], got[k]);
            }
        }
    }
    for (std::uint64_t i = 0; i < item_count; i++)
        ASSERT_EQ(seen[i], 1) << "item " << i;
}

// At 16000 Hz and the default window: N = 7168 + 1024 = 8192, G = 108.
TEST(WorkQueue, NewJobIsOneZeroedAllocation)
{
    Engine engine(engine_config(16000));
    ASSERT_EQ(engine.input_history_length(), 8192u);
    ASSERT_EQ(engine.group_count(), 108u);
    AnalysisJob *job = engine.new_job();
    ASSERT_NE(job, nullptr);
    EXPECT_EQ(job->next, nullptr);
    EXPECT_EQ(job->seq, 0u);
    EXPECT_EQ(job->pending, 0u);
    EXPECT_EQ(job->pass, 0u);
    EXPECT_EQ(reinterpret_cast<char *>(job->samples), reinterpret_cast<char *>(job + 1));
    EXPECT_EQ(job->reference, job->samples + 8192);
    EXPECT_EQ(job->product, job->reference + 1024);
    EXPECT_EQ(job->semitone_level, job->product + 8192 + 1024);
    const double *end = job->semitone_level + 108;
    for (const double *value = job->samples; value != end; value++)
        ASSERT_EQ(*value, 0.0);
    engine.free_job(job);
}

// A job handed back is used again for the engine's next one, its record
// cleared; an engine of another window lays its own jobs out for it.
TEST(WorkQueue, HandedBackJobsAreUsedAgain)
{
    Engine engine(engine_config(16000, 0, 2));
    AnalysisJob *first = engine.new_job();
    ASSERT_NE(first, nullptr);
    first->seq = 77;
    first->pass = 2;
    first->samples[5] = 1.5;
    engine.free_job(first);
    AnalysisJob *again = engine.new_job();
    EXPECT_EQ(again, first);
    EXPECT_EQ(again->seq, 0u);
    EXPECT_EQ(again->pass, 0u);
    EXPECT_EQ(again->samples, reinterpret_cast<double *>(again + 1));
    engine.free_job(again);

    EngineConfig config = engine_config(16000, 0, 2);
    config.window_size = 3072;  // N = 4096
    Engine smaller_engine(config);
    AnalysisJob *smaller = smaller_engine.new_job();
    ASSERT_NE(smaller, nullptr);
    EXPECT_EQ(smaller->reference, smaller->samples + 4096);
    EXPECT_EQ(smaller->product[4096 + 1023], 0.0);
    smaller_engine.free_job(smaller);
}

// Two detectors hand a stream of jobs' measured tasks to the collector in
// batches that straddle jobs, as the detector threads do
// (count_down_measured decides the wake-up). The collector is woken only
// when a job's pass is measured whole; it must still get every task, none
// left asleep in the queue. A job whose count was never set wakes it at once.
TEST(WorkQueue, MeasuredTasksReachTheCollectorWhole)
{
    WorkQueue<BandTask> collect_queue;
    auto push_measured = [&collect_queue](BandTask *const *tasks, std::uint64_t count) {
        collect_queue.push_all_waking_if(tasks, count, count_down_measured);
    };
    constexpr std::uint64_t JOBS = 300;
    constexpr std::uint64_t TASKS_PER_JOB = 16;
    constexpr std::uint64_t BATCH = 3;
    std::vector<AnalysisJob> jobs(JOBS + 1);
    std::vector<BandTask> tasks(JOBS * TASKS_PER_JOB + 2);
    for (std::uint64_t i = 0; i < tasks.size(); i++) {
        AnalysisJob &job = jobs[std::min(i / TASKS_PER_JOB, JOBS)];
        job.measuring++;
        tasks[i].band = i;
        tasks[i].job = &job;
    }
    std::atomic<pid_t> collector{0};
    auto collector_asleep = [&collector] { return collector != 0 && thread_asleep(collector); };
    std::future<std::uint64_t> collected = std::async(std::launch::async, [&] {
        collector = gettid();
        std::uint64_t got = 0;
        BandTask *batch[64];
        while (got < tasks.size())
            got += collect_queue.pop_some(batch, 64);
        return got;
    });
    auto detector = [&](std::uint64_t parity) {
        std::vector<BandTask *> batch;
        for (std::uint64_t i = parity; i < JOBS * TASKS_PER_JOB; i += 2) {
            batch.push_back(&tasks[i]);
            if (batch.size() == BATCH || i + 2 >= JOBS * TASKS_PER_JOB) {
                push_measured(batch.data(), batch.size());
                batch.clear();
            }
        }
    };
    std::thread even(detector, 0);
    std::thread odd(detector, 1);
    even.join();
    odd.join();
    // The last job's two tasks one at a time, each to a collector asleep.
    for (std::uint64_t i = JOBS * TASKS_PER_JOB; i < tasks.size(); i++) {
        EXPECT_TRUE(wait_for(collector_asleep, std::chrono::seconds(30))) << "the collector never waited";
        BandTask *one[] = {&tasks[i]};
        push_measured(one, 1);
    }
    const bool woken = collected.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
    EXPECT_TRUE(woken) << "tasks left in the queue with the collector asleep";
    if (!woken) {
        AnalysisJob uncounted{};
        BandTask nudge{};
        nudge.job = &uncounted;
        BandTask *nudges[] = {&nudge};
        push_measured(nudges, 1);
    }
    EXPECT_GE(collected.get(), tasks.size());
    for (const AnalysisJob &job : jobs)
        ASSERT_EQ(job.measuring, 0u);

    // Not counted: the collector is woken by the first push.
    AnalysisJob uncounted{};
    BandTask single{};
    single.job = &uncounted;
    std::atomic<pid_t> taker_tid{0};
    std::future<std::uint64_t> taker = std::async(std::launch::async, [&collect_queue, &taker_tid] {
        taker_tid = gettid();
        BandTask *batch[1];
        return collect_queue.pop_some(batch, 1);
    });
    EXPECT_TRUE(wait_for([&taker_tid] { return taker_tid != 0 && thread_asleep(taker_tid); }, std::chrono::seconds(30)))
        << "the collector never waited";
    BandTask *one[] = {&single};
    push_measured(one, 1);
    const bool taken = taker.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
    EXPECT_TRUE(taken) << "an uncounted task left the collector asleep";
    if (!taken) {
        BandTask nudge{};
        nudge.job = &uncounted;
        BandTask *nudges[] = {&nudge};
        collect_queue.push_all(nudges, 1);
    }
    EXPECT_EQ(taker.get(), 1u);
}
