#include "audio/block_assembler.h"
#include "audio/rate_conversion.h"
#include "engine/engine_state.h"
#include "engine/work_queue.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

// Sample k of block b on ring r (0, 1: inputs; 2, 3: outputs).
double ring_value(int ring, std::uint64_t block, std::uint32_t k)
{
    return 100000.0 * static_cast<double>(block) + 10000.0 * ring + k;
}

class Assembler : public ::testing::Test {
protected:
    void start(std::uint64_t window)
    {
        sample_rate = 16000;
        window_size = window;
        band_count = 27648;
        queue_init(job_queue);
        input_history_setup();
        assembler_start();
    }

    void feed_block()
    {
        audio_lock();
        for (std::uint32_t k = 0; k < BLOCK_LEN; k++) {
            ring_push(in_ring_0, ring_value(0, fed_, k));
            ring_push(in_ring_1, ring_value(1, fed_, k));
            ring_push(out_ring_0, ring_value(2, fed_, k));
            ring_push(out_ring_1, ring_value(3, fed_, k));
        }
        audio_wakeup();
        audio_unlock();
        fed_++;
    }

    std::uint64_t fed_ = 0;
};

double channel_value(int channel, std::uint64_t block, std::uint32_t k)
{
    auto v = [&](int ring) { return ring_value(ring, block, k); };
    switch (channel) {
    case CHANNEL_INPUT_0: return v(0);
    case CHANNEL_INPUT_1: return v(1);
    case CHANNEL_INPUT_SUM: return v(1) + v(0);
    case CHANNEL_OUTPUT_0: return v(2);
    case CHANNEL_OUTPUT_1: return v(3);
    default: return v(3) + v(2);
    }
}

}  // namespace

// At the smallest window each job holds the previous block, then the current
// one; the reference is the correlation channel reversed.
TEST_F(Assembler, JobLayoutAtWindow1024)
{
    start(1024);
    const struct { int main, corr; } selections[] = {
        {CHANNEL_INPUT_SUM, CHANNEL_OUTPUT_SUM},
        {CHANNEL_INPUT_SUM, CHANNEL_OUTPUT_0},
        {CHANNEL_INPUT_1, CHANNEL_INPUT_0},
    };
    for (std::uint64_t b = 0; b < 3; b++) {
        SCOPED_TRACE(b);
        audio_lock();
        main_channel = selections[b].main;
        corr_channel = selections[b].corr;
        audio_unlock();
        feed_block();
        AnalysisJob *job = pop_job();
        EXPECT_EQ(job->seq, b);
        for (std::uint32_t k = 0; k < BLOCK_LEN; k++) {
            const double older = b == 0 ? 0.0 : channel_value(selections[b - 1].main, b - 1, k);
            ASSERT_EQ(job->samples[k], older) << k;
            ASSERT_EQ(job->samples[BLOCK_LEN + k], channel_value(selections[b].main, b, k)) << k;
            ASSERT_EQ(job->reference[k], channel_value(selections[b].corr, b, BLOCK_LEN - 1 - k)) << k;
        }
        free(job);
    }
}

TEST_F(Assembler, FreezeDrainsBlocksWithoutJobs)
{
    start(7168);
    audio_lock();
    freeze_flag = 1;
    audio_unlock();
    feed_block();
    feed_block();

    audio_lock();
    while (ring_fill(in_ring_0, RingReader::consumer) != 0 || ring_fill(in_ring_1, RingReader::consumer) != 0
           || ring_fill(out_ring_0, RingReader::tap) != 0 || ring_fill(out_ring_1, RingReader::tap) != 0)
        audio_wait_for(AUDIO_POLL_US);
    EXPECT_EQ(jobs_submitted, 0u);
    audio_unlock();
    EXPECT_EQ(job_queue.first, nullptr);
    EXPECT_EQ(input_history_pos, 0u);
    for (std::uint64_t i = 0; i < input_history_length; i++)
        ASSERT_EQ(input_history[i], 0.0) << i;
}

