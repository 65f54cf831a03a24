#include "audio/block_assembler.h"
#include "audio/rate_conversion.h"
#include "engine/engine.h"
#include "engine/engine_types.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

void push_outputs(SampleExchange &exchange, const std::vector<double> &values)
{
    MutexLock lock(exchange.ring_mutex);
    for (double v : values) {
        ring_push(exchange.out_ring_0, v);
        ring_push(exchange.out_ring_1, -v);
    }
}

std::vector<double> take_input_0(SampleExchange &exchange)
{
    std::vector<double> values;
    MutexLock lock(exchange.ring_mutex);
    while (ring_fill(exchange.in_ring_0, RingReader::consumer) != 0)
        values.push_back(ring_pop(exchange.in_ring_0, RingReader::consumer));
    return values;
}

std::vector<float> exchange_period(SampleExchange &exchange, std::vector<float> io_1)
{
    std::vector<float> io_2(io_1.size(), 0.0f);
    exchange.exchange(io_1.data(), io_2.data(), static_cast<std::uint32_t>(io_1.size()));
    return io_1;
}

// An exchange with the assembler that reads it, whose thread is never
// started: the test takes its part.
struct AssembledExchange {
    explicit AssembledExchange(int rate) : engine(engine_config(rate)), exchange(rate), assembler(engine, exchange) {}

    Engine engine;
    SampleExchange exchange;
    BlockAssembler assembler;
};

}  // namespace

TEST(RateConversion, WorkedGroupAtRateDiv3)
{
    SampleExchange exchange(16000);
    push_outputs(exchange, {FULL_SCALE});
    // The previous group ended at 0.0, so the first group plays silence.
    EXPECT_EQ(exchange_period(exchange, {0.25f, 0.5f, 0.75f}), (std::vector<float>{0.0f, 0.0f, 0.0f}));
    EXPECT_EQ(take_input_0(exchange), std::vector<double>{1073741696.0});
    EXPECT_EQ(exchange_period(exchange, {0.0f, 0.0f, 0.0f}), (std::vector<float>{1.0f / 3.0f, 2.0f / 3.0f, 1.0f}));
}

TEST(RateConversion, RateDiv1ScalesWithoutRamp)
{
    SampleExchange exchange(48000);
    push_outputs(exchange, {FULL_SCALE / 2, FULL_SCALE / 4, 0.0});
    EXPECT_EQ(exchange_period(exchange, {0.5f, -0.25f, 1.0f}), (std::vector<float>{0.0f, 0.5f, 0.25f}));
    EXPECT_EQ(take_input_0(exchange), (std::vector<double>{FULL_SCALE / 2, -FULL_SCALE / 4, FULL_SCALE}));
}

// Periods whose length is not a multiple of rate_div: a group started in one
// call completes in the next.
TEST(RateConversion, GroupCarriesOverBetweenCalls)
{
    SampleExchange exchange(16000);
    const std::vector<double> outputs = {FULL_SCALE / 2, -FULL_SCALE / 4, FULL_SCALE / 8,
                                         FULL_SCALE / 16, FULL_SCALE, 0.0};
    push_outputs(exchange, outputs);
    std::vector<float> played;
    std::uint32_t frame = 0;
    for (std::uint32_t length : {2u, 4u, 1u, 5u, 3u, 3u}) {
        std::vector<float> io;
        for (std::uint32_t f = 0; f < length; f++, frame++)
            io.push_back(static_cast<float>(frame) / 64.0f);
        const std::vector<float> out = exchange_period(exchange, io);
        played.insert(played.end(), out.begin(), out.end());
    }
    ASSERT_EQ(played.size(), 18u);

    const std::vector<double> pushed = take_input_0(exchange);
    ASSERT_EQ(pushed.size(), 6u);
    for (std::uint32_t g = 0; g < 6; g++) {
        const float sum = (3 * g) / 64.0f + (3 * g + 1) / 64.0f + (3 * g + 2) / 64.0f;
        EXPECT_EQ(pushed[g], static_cast<double>(sum / 3.0f * static_cast<float>(FULL_SCALE))) << g;
    }
    // Each group ends exactly on the ring sample taken when the previous one completed.
    for (std::uint32_t g = 1; g < 6; g++)
        EXPECT_EQ(played[3 * g + 2], static_cast<float>(outputs[g - 1] / FULL_SCALE)) << g;
    EXPECT_EQ(played[2], 0.0f);
}

TEST(RateConversion, FullInputRingDropsNewSamplesAndTheirTap)
{
    AssembledExchange a(48000);
    SampleExchange &exchange = a.exchange;
    {
        MutexLock lock(exchange.ring_mutex);
        for (std::uint32_t i = 0; i < RING_SIZE - 1; i++) {
            ring_push(exchange.in_ring_0, i);
            ring_push(exchange.in_ring_1, i);
        }
        ASSERT_EQ(ring_free(exchange.in_ring_0, RingReader::consumer), 0u);
    }
    push_outputs(exchange, {0.0, 0.0});

    exchange_period(exchange, {0.5f});
    const std::vector<double> kept = take_input_0(exchange);
    ASSERT_EQ(kept.size(), RING_SIZE - 1);
    EXPECT_EQ(kept.back(), RING_SIZE - 2.0);
    // The sample played in that group leaves the assembler's tap with it, as
    // soon as the assembler next looks.
    EXPECT_EQ(ring_fill(exchange.out_ring_0, RingReader::tap), 2u);
    {
        MutexLock lock(exchange.ring_mutex);
        a.assembler.holds_ring_mutex();
        a.assembler.skip_unpaired_tap_samples();
    }
    EXPECT_EQ(ring_fill(exchange.out_ring_0, RingReader::tap), 1u);
    EXPECT_EQ(ring_fill(exchange.out_ring_1, RingReader::tap), 1u);
    EXPECT_EQ(ring_fill(exchange.out_ring_0, RingReader::consumer), 1u);
    // Counted as an input group dropped, none played dry.
    EXPECT_EQ(exchange.dropped_groups(), 1u);
    EXPECT_EQ(exchange.dry_groups(), 0u);
}

TEST(RateConversion, EmptyOutputRingRampsToSilence)
{
    SampleExchange exchange(16000);
    push_outputs(exchange, {FULL_SCALE});
    std::vector<float> played;
    for (int group = 0; group < 4; group++) {
        const std::vector<float> out = exchange_period(exchange, {0.0f, 0.0f, 0.0f});
        played.insert(played.end(), out.begin(), out.end());
    }
    const std::vector<float> expected = {0.0f, 0.0f, 0.0f, 1.0f / 3.0f, 2.0f / 3.0f, 1.0f,
                                         2.0f / 3.0f, 1.0f / 3.0f, 0.0f, 0.0f, 0.0f, 0.0f};
    EXPECT_EQ(played, expected);
    // Running dry moves no index: playback stays level with the writer.
    EXPECT_EQ(ring_fill(exchange.out_ring_0, RingReader::consumer), 0u);
    EXPECT_EQ(ring_free(exchange.out_ring_0, RingReader::consumer), RING_SIZE - 1);
    // Only the group played from the ring keeps its input: the silence that
    // followed never reaches the assembler's tap.
    EXPECT_EQ(take_input_0(exchange).size(), 1u);
    // Three groups played dry, as the soak counts them; none dropped.
    EXPECT_EQ(exchange.dry_groups(), 3u);
    EXPECT_EQ(exchange.dropped_groups(), 0u);
}

TEST(RateConversion, NonFiniteInputCountsAsZero)
{
    SampleExchange exchange(48000);
    push_outputs(exchange, {0.0, 0.0, 0.0});
    exchange_period(exchange, {__builtin_nanf(""), __builtin_inff(), -__builtin_inff()});
    EXPECT_EQ(take_input_0(exchange), (std::vector<double>{0.0, 0.0, 0.0}));
}

// Reset drops the unread input; the tap drops as many, so what the assembler
// takes next is still paired.
TEST(RateConversion, FlushKeepsTapPaired)
{
    AssembledExchange a(48000);
    SampleExchange &exchange = a.exchange;
    push_outputs(exchange, {1, 2, 3, 4, 5, 6, 7, 8});
    exchange_period(exchange, {0.1f, 0.2f, 0.3f, 0.4f, 0.5f});
    {
        MutexLock lock(exchange.ring_mutex);
        ASSERT_EQ(ring_fill(exchange.in_ring_0, RingReader::consumer), 5u);
    }

    a.assembler.flush_input_rings();
    exchange_period(exchange, {0.6f});
    MutexLock lock(exchange.ring_mutex);
    EXPECT_EQ(ring_fill(exchange.in_ring_0, RingReader::consumer), 1u);
    EXPECT_EQ(ring_fill(exchange.in_ring_1, RingReader::consumer), 1u);
    EXPECT_EQ(ring_fill(exchange.out_ring_0, RingReader::tap), 3u);
    // The input recorded while sample 6 played and the tap's next sample agree.
    EXPECT_EQ(ring_pop(exchange.in_ring_0, RingReader::consumer),
              static_cast<double>(0.6f * static_cast<float>(FULL_SCALE)));
    EXPECT_EQ(ring_pop(exchange.out_ring_0, RingReader::tap), 6.0);
}
