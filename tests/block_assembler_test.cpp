#include "audio/block_assembler.h"
#include "audio/rate_conversion.h"
#include "engine/engine.h"
#include "engine/engine_types.h"
#include "engine/work_queue.h"
#include "support/background_program.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>

namespace {

// Sample k of block b on ring r (0, 1: inputs; 2, 3: outputs).
double ring_value(int ring, std::uint64_t block, std::uint32_t k)
{
    return 100000.0 * static_cast<double>(block) + 10000.0 * ring + k;
}

// The assembler's thread on an engine whose stages are never started: the
// jobs it makes wait in job_queue for the test.
class Assembler : public ::testing::Test {
protected:
    void start(std::uint64_t window)
    {
        EngineConfig config = engine_config(16000);
        config.window_size = window;
        engine = std::make_unique<Engine>(config);
        assembler = std::make_unique<BlockAssembler>(*engine, exchange);
        assembler->start();
    }

    void TearDown() override
    {
        assembler.reset();  // joined before the engine goes
        engine.reset();
    }

    void feed_block()
    {
        MutexLock lock(exchange.ring_mutex);
        for (std::uint32_t k = 0; k < BLOCK_LEN; k++) {
            ring_push(exchange.in_ring_0, ring_value(0, fed_, k));
            ring_push(exchange.in_ring_1, ring_value(1, fed_, k));
            ring_push(exchange.out_ring_0, ring_value(2, fed_, k));
            ring_push(exchange.out_ring_1, ring_value(3, fed_, k));
        }
        exchange.ring_changed.broadcast();
        fed_++;
    }

    SampleExchange exchange{16000};
    std::unique_ptr<Engine> engine;
    std::unique_ptr<BlockAssembler> assembler;
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
        engine->set_main_channel(selections[b].main);
        engine->set_corr_channel(selections[b].corr);
        feed_block();
        AnalysisJob *job = engine->job_queue.pop();
        ASSERT_NE(job, nullptr);
        EXPECT_EQ(job->seq, b);
        for (std::uint32_t k = 0; k < BLOCK_LEN; k++) {
            const double older = b == 0 ? 0.0 : channel_value(selections[b - 1].main, b - 1, k);
            ASSERT_EQ(job->samples[k], older) << k;
            ASSERT_EQ(job->samples[BLOCK_LEN + k], channel_value(selections[b].main, b, k)) << k;
            ASSERT_EQ(job->reference[k], channel_value(selections[b].corr, b, BLOCK_LEN - 1 - k)) << k;
        }
        engine->free_job(job);
    }
}

TEST_F(Assembler, FreezeDrainsBlocksWithoutJobs)
{
    start(7168);
    engine->toggle_freeze();
    feed_block();
    feed_block();

    // Both blocks taken, and the assembler waiting again: it is done with the
    // second, not only with reading it.
    ASSERT_TRUE(wait_for(
        [&] {
            MutexLock lock(exchange.ring_mutex);
            assembler->holds_ring_mutex();
            return ring_fill(exchange.in_ring_0, RingReader::consumer) == 0
                && ring_fill(exchange.in_ring_1, RingReader::consumer) == 0
                && ring_fill(exchange.out_ring_0, RingReader::tap) == 0
                && ring_fill(exchange.out_ring_1, RingReader::tap) == 0 && assembler->waiting();
        },
        std::chrono::seconds(30)));
    EXPECT_EQ(engine->job_counts().submitted, 0u);
    EXPECT_EQ(engine->blocks_skipped(), 0u);
    EXPECT_TRUE(engine->job_queue.empty());
    engine->read_results([](const ResultView &view) {
        EXPECT_EQ(view.input_history_next, 0u);
        for (std::uint64_t i = 0; i < view.input_history_length; i++)
            ASSERT_EQ(view.input_history[i], 0.0) << i;
    });
}
