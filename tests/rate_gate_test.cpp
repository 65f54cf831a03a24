// The rate gate between the process callback and the sample rings: shut at a
// wrong rate, open again only on fresh rings with the tap still paired with
// the input. The server is played by ServerStandIn, asking the gate each
// period as the callback does.
#include "audio/block_assembler.h"
#include "audio/rate_conversion.h"
#include "audio/rate_gate.h"
#include "engine/engine_types.h"
#include "support/engine_fixture.h"
#include "support/loop_measure.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>

TEST(RateGate, OpensOnlyAtTheRightRateOnceTheCallbackLetGo)
{
    SampleExchange exchange(16000);
    RateGate gate(exchange);
    gate.restart(48000);
    EXPECT_TRUE(gate.pass());

    gate.server_rate(44100);
    EXPECT_EQ(gate.rate(), 44100u);
    // The rate is right again before the callback has seen the gate shut: it
    // may still be in an exchange, so the rings stay as they are.
    gate.server_rate(48000);
    EXPECT_FALSE(gate.reopen());
    EXPECT_FALSE(gate.pass());
    EXPECT_TRUE(gate.reopen());
    EXPECT_TRUE(gate.pass());

    // Shut and let go, but the rate stays wrong.
    gate.server_rate(44100);
    EXPECT_FALSE(gate.pass());
    EXPECT_FALSE(gate.reopen());
    EXPECT_FALSE(gate.pass());
    // Another wrong rate over a shut gate shuts it anew, so an opening
    // decided on the rate before fails.
    gate.server_rate(48000);
    gate.server_rate(22050);
    gate.server_rate(48000);
    EXPECT_FALSE(gate.reopen());
    EXPECT_FALSE(gate.pass());
    EXPECT_TRUE(gate.reopen());
    EXPECT_TRUE(gate.pass());

    // A client opened on a server at a wrong rate starts shut.
    gate.restart(44100);
    EXPECT_FALSE(gate.pass());
}

// Noise played through a loop of LOOP_FRAMES at 16000 Hz, where three server
// frames make one engine sample. The gate shuts in the middle of a group and
// of a block, stays shut for a while, and opens again: the correlation must
// peak at the same delay as before, which it does only if the restart dropped
// the unread inputs and the tap samples paired with them, and started the
// group afresh.
TEST(RateGate, DelayReadsTheSameAfterTheGateOpensAgain)
{
    constexpr std::uint64_t LOOP_FRAMES = 300;
    const std::unique_ptr<Analysis> analysis = start_test_analysis(16000);
    Engine &engine = analysis->engine;
    SampleExchange &exchange = analysis->exchange;
    engine.set_main_channel(CHANNEL_OUTPUT_0);
    engine.set_corr_channel(CHANNEL_INPUT_0);
    RateGate gate(exchange);
    gate.restart(48000);

    ServerStandIn server(*analysis);
    server.gate = &gate;
    std::uint64_t seed = 12345;
    server.output_0 = [&seed](std::uint64_t) {
        seed = seed * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<double>(static_cast<std::int64_t>(seed) >> 40);
    };
    server.input_0 = [&server](std::uint64_t frame) {
        return frame < LOOP_FRAMES ? 0.0f : server.played_0()[frame - LOOP_FRAMES];
    };
    auto measured_delay = [&] {
        EXPECT_TRUE(wait_for_quiet(*analysis));
        return correlation_peak_delay(engine);
    };

    // Two seconds, and one period more: a group of three frames and a block
    // are both under way when the gate shuts.
    server.run(375 * 256 + 256);
    ASSERT_NE(server.frames_done() % 3, 0u);
    const std::uint64_t before = measured_delay();
    // The loop's 300 frames are 100 samples; playback runs one sample late,
    // and the interpolated output reaches a sample on the last frame of its
    // group while the input averages the group: 101.
    EXPECT_EQ(before, 101u);

    gate.server_rate(44100);
    const std::uint32_t written = exchange.in_ring_0.write_index.load();
    const std::size_t shut_from = server.played_0().size();
    server.run(40 * 256);
    EXPECT_EQ(exchange.in_ring_0.write_index.load(), written) << "fed the analysis at a wrong rate";
    EXPECT_TRUE(std::all_of(server.played_0().begin() + static_cast<std::ptrdiff_t>(shut_from),
                            server.played_0().end(), [](float x) { return x == 0.0f; }))
        << "played at a wrong rate";
    EXPECT_FALSE(gate.reopen());

    gate.server_rate(48000);
    ASSERT_TRUE(gate.reopen());
    server.run(375 * 256);
    EXPECT_EQ(measured_delay(), before);
}
