#include "engine/engine_state.h"
#include "engine/work_queue.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>
#include <vector>

TEST(WorkQueue, PushOntoEmptyAndPopBack)
{
    WorkQueue<BandTask> queue;
    ASSERT_EQ(queue.first, nullptr);
    ASSERT_EQ(queue.last, &queue.first);

    BandTask task{};
    queue_push(queue, &task);
    EXPECT_EQ(queue.first, &task);
    EXPECT_EQ(queue.last, &task.next);
    EXPECT_EQ(task.next, nullptr);
    EXPECT_EQ(task.prev_link, &queue.first);

    EXPECT_EQ(queue_pop(queue), &task);
    EXPECT_EQ(queue.first, nullptr);
    EXPECT_EQ(queue.last, &queue.first);
}

TEST(WorkQueue, FifoOrderWithLinksKept)
{
    WorkQueue<BandTask> queue;
    std::vector<BandTask> tasks(1000);
    for (std::size_t i = 0; i < tasks.size(); i++) {
        tasks[i].band = i;
        queue_push(queue, &tasks[i]);
    }
    // Interleave pops and pushes so the tail moves while the head does.
    for (std::size_t i = 0; i < tasks.size(); i++) {
        BandTask *task = queue_pop(queue);
        ASSERT_EQ(task->band, i);
        if (queue.first != nullptr) {
            ASSERT_EQ(queue.first->prev_link, &queue.first);
        }
        if (i % 3 == 0)
            queue_push(queue, task);
    }
    std::size_t expected = 0;
    while (queue.first != nullptr) {
        EXPECT_EQ(queue_pop(queue)->band, expected);
        expected += 3;
    }
    EXPECT_EQ(queue.last, &queue.first);
}

TEST(WorkQueue, TwoBlockedTakersResumeAfterTwoPushes)
{
    WorkQueue<BandTask> queue;
    auto taker = [&queue] { return queue_pop(queue)->band; };
    std::future<std::uint64_t> a = std::async(std::launch::async, taker);
    std::future<std::uint64_t> b = std::async(std::launch::async, taker);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(a.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
    EXPECT_EQ(b.wait_for(std::chrono::seconds(0)), std::future_status::timeout);

    BandTask first{};
    BandTask second{};
    first.band = 1;
    second.band = 2;
    queue_push(queue, &first);
    queue_push(queue, &second);
    ASSERT_EQ(a.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    ASSERT_EQ(b.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(a.get() + b.get(), 3u);
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
            const std::uint64_t band = queue_pop(queue)->band;
            if (band >= item_count)
                return got;
            got.push_back(band);
        }
    };
    std::future<std::vector<std::uint64_t>> a = std::async(std::launch::async, taker);
    std::future<std::vector<std::uint64_t>> b = std::async(std::launch::async, taker);
    for (std::uint64_t i = 0; i < item_count + 2; i++) {
        items[i].band = i;
        queue_push(queue, &items[i]);
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

TEST(WorkQueue, NewJobIsOneZeroedAllocation)
{
    input_history_length = 8192;
    band_count = 27648;
    AnalysisJob *job = new_job();
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
    free(job);
}

// A job handed back is used again for the next one of its size, its record
// cleared; one of another size is not.
TEST(WorkQueue, HandedBackJobsAreUsedAgain)
{
    worker_count = 2;
    input_history_length = 8192;
    band_count = 27648;
    AnalysisJob *first = new_job();
    ASSERT_NE(first, nullptr);
    first->seq = 77;
    first->pass = 2;
    first->samples[5] = 1.5;
    free_job(first);
    AnalysisJob *again = new_job();
    EXPECT_EQ(again, first);
    EXPECT_EQ(again->seq, 0u);
    EXPECT_EQ(again->pass, 0u);
    EXPECT_EQ(again->samples, reinterpret_cast<double *>(again + 1));
    free_job(again);

    input_history_length = 4096;
    AnalysisJob *smaller = new_job();
    ASSERT_NE(smaller, nullptr);
    EXPECT_EQ(smaller->reference, smaller->samples + 4096);
    EXPECT_EQ(smaller->product[4096 + 1023], 0.0);
    free_job(smaller);
}

// Two detectors hand a stream of jobs' measured tasks to the collector in
// batches that straddle jobs. The collector is woken only when a job's pass
// is measured whole; it must still get every task, none left asleep in the
// queue. A job whose count was never set wakes it at once.
TEST(WorkQueue, MeasuredTasksReachTheCollectorWhole)
{
    queue_init(collect_queue);
    constexpr std::uint64_t JOBS = 300;
    constexpr std::uint64_t TASKS_PER_JOB = 16;
    constexpr std::uint64_t BATCH = 3;
    constexpr auto ASLEEP = std::chrono::milliseconds(50);  // long enough for the collector to wait
    std::vector<AnalysisJob> jobs(JOBS + 1);
    std::vector<BandTask> tasks(JOBS * TASKS_PER_JOB + 2);
    for (std::uint64_t i = 0; i < tasks.size(); i++) {
        AnalysisJob &job = jobs[std::min(i / TASKS_PER_JOB, JOBS)];
        job.measuring++;
        tasks[i].band = i;
        tasks[i].job = &job;
    }
    std::future<std::uint64_t> collected = std::async(std::launch::async, [&] {
        std::uint64_t got = 0;
        BandTask *batch[64];
        while (got < tasks.size())
            got += pop_collect_tasks(batch, 64);
        return got;
    });
    auto detector = [&](std::uint64_t parity) {
        std::vector<BandTask *> batch;
        for (std::uint64_t i = parity; i < JOBS * TASKS_PER_JOB; i += 2) {
            batch.push_back(&tasks[i]);
            if (batch.size() == BATCH || i + 2 >= JOBS * TASKS_PER_JOB) {
                push_measured_tasks(batch.data(), batch.size());
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
        std::this_thread::sleep_for(ASLEEP);
        BandTask *one[] = {&tasks[i]};
        push_measured_tasks(one, 1);
    }
    const bool woken = collected.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
    EXPECT_TRUE(woken) << "tasks left in the queue with the collector asleep";
    if (!woken) {
        AnalysisJob uncounted{};
        BandTask nudge{};
        nudge.job = &uncounted;
        BandTask *nudges[] = {&nudge};
        push_measured_tasks(nudges, 1);
    }
    EXPECT_GE(collected.get(), tasks.size());
    for (const AnalysisJob &job : jobs)
        ASSERT_EQ(job.measuring, 0u);

    // Not counted: the collector is woken by the first push.
    AnalysisJob uncounted{};
    BandTask single{};
    single.job = &uncounted;
    std::future<std::uint64_t> taker = std::async(std::launch::async, [] {
        BandTask *batch[1];
        return pop_collect_tasks(batch, 1);
    });
    std::this_thread::sleep_for(ASLEEP);
    BandTask *one[] = {&single};
    push_measured_tasks(one, 1);
    const bool taken = taker.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
    EXPECT_TRUE(taken) << "an uncounted task left the collector asleep";
    if (!taken) {
        BandTask nudge{};
        nudge.job = &uncounted;
        BandTask *nudges[] = {&nudge};
        queue_push_all(collect_queue, nudges, 1);
    }
    EXPECT_EQ(taker.get(), 1u);
}
