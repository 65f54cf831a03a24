#include "siggen/generator.h"

#include "audio/analysis.h"
#include "audio/rate_conversion.h"
#include "engine/engine_types.h"
#include "support/background_program.h"
#include "support/thread_state.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <ostream>
#include <thread>
#include <vector>

namespace {

// A generator on rings of its own, its thread not started unless a test does.
struct GeneratorOnRings {
    SampleExchange exchange{16000};
    Generator generator{exchange};
};

GeneratorSnapshot snapshot(double level, int source_0, int source_1, double phase_step = 0.0)
{
    GeneratorSnapshot s{};
    s.level = level;
    s.phase_step = phase_step;
    s.source_0 = source_0;
    s.source_1 = source_1;
    return s;
}

// The noises at level 1.0 from the start state, straight from the two
// recurrences, for frames beyond the hand-worked first values.
std::vector<double> brown_reference(int count)
{
    std::vector<double> values;
    std::uint32_t state = 1;
    for (int i = 0; i < count; i++) {
        if (state % 2 == 1)
            state += 16776989;
        state /= 2;
        values.push_back(static_cast<double>(state) - 8388608.0);
    }
    return values;
}

std::vector<double> white_reference(int count)
{
    std::vector<double> values;
    std::uint32_t state = 0;
    for (int i = 0; i < count; i++) {
        state = state * 1103515245u + 12345u;
        values.push_back(static_cast<double>(state >> 8) - 8388608.0);
    }
    return values;
}

// Appends the frame computed last of one source.
void append_frame(const Generator &gen, std::vector<double> &to, int source)
{
    for (int k = 0; k < GEN_FRAME; k++)
        to.push_back(gen.frame_sample(source, k));
}

}  // namespace

// ---- noises -----------------------------------------------------------------------

struct FirstValues {
    double level;
    double brown[4];
    double white[4];
};

void PrintTo(const FirstValues &values, std::ostream *os) { *os << "level=" << values.level; }

// Each case makes a generator of its own, so both noises start from the start state.
class GeneratorFirstValues : public ::testing::TestWithParam<FirstValues> {};

TEST_P(GeneratorFirstValues, FromStartState)
{
    const auto rings = std::make_unique<GeneratorOnRings>();
    Generator &gen = rings->generator;
    const FirstValues &expected = GetParam();
    gen.compute_frame(snapshot(expected.level, SOURCE_BROWN_NOISE, SOURCE_WHITE_NOISE));
    for (int k = 0; k < 4; k++) {
        EXPECT_EQ(gen.frame_sample(SOURCE_BROWN_NOISE, k), expected.brown[k]) << k;
        EXPECT_EQ(gen.frame_sample(SOURCE_WHITE_NOISE, k), expected.white[k]) << k;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Levels, GeneratorFirstValues,
    ::testing::Values(
        FirstValues{1.0, {-113, 4194134, -2097237, 3145572}, {-8388560, 5495830, 2556967, 5661980}},
        // The panel's initial level: the products truncate toward zero.
        FirstValues{0.0625, {-7, 262133, -131077, 196598}, {-524285, 343489, 159810, 353873}}));

TEST(GeneratorNoise, SilenceStillAdvancesBothNoises)
{
    const auto rings = std::make_unique<GeneratorOnRings>();
    Generator &gen = rings->generator;
    const std::vector<double> brown = brown_reference(3 * GEN_FRAME);
    const std::vector<double> white = white_reference(3 * GEN_FRAME);
    for (int frame = 0; frame < 2; frame++) {
        gen.compute_frame(snapshot(1.0, SOURCE_SILENCE, SOURCE_SILENCE));
        for (int k = 0; k < GEN_FRAME; k++)
            ASSERT_EQ(gen.frame_sample(SOURCE_SILENCE, k), 0.0) << k;
    }
    gen.compute_frame(snapshot(1.0, SOURCE_BROWN_NOISE, SOURCE_WHITE_NOISE));
    for (int k = 0; k < GEN_FRAME; k++) {
        ASSERT_EQ(gen.frame_sample(SOURCE_BROWN_NOISE, k), brown[2 * GEN_FRAME + k]) << k;
        ASSERT_EQ(gen.frame_sample(SOURCE_WHITE_NOISE, k), white[2 * GEN_FRAME + k]) << k;
    }
}

// Level 2^16 takes almost every product past 32 bits: those clip at the end
// of the range that has their own sign, and the rest stay exact.
TEST(GeneratorNoise, LoudNoiseSaturatesToInt32)
{
    const auto rings = std::make_unique<GeneratorOnRings>();
    Generator &gen = rings->generator;
    constexpr double level = 65536.0;
    constexpr double high = std::numeric_limits<std::int32_t>::max();
    constexpr double low = std::numeric_limits<std::int32_t>::min();
    gen.compute_frame(snapshot(level, SOURCE_BROWN_NOISE, SOURCE_WHITE_NOISE));

    const struct { int source; std::vector<double> raw; } noises[] = {
        {SOURCE_BROWN_NOISE, brown_reference(GEN_FRAME)},
        {SOURCE_WHITE_NOISE, white_reference(GEN_FRAME)},
    };
    for (const auto &noise : noises) {
        SCOPED_TRACE(noise.source);
        int clipped_high = 0;
        int clipped_low = 0;
        for (int k = 0; k < GEN_FRAME; k++) {
            const double product = noise.raw[k] * level;
            const double sample = gen.frame_sample(noise.source, k);
            if (product > high) {
                ASSERT_EQ(sample, high) << k;
                clipped_high++;
            } else if (product < low) {
                ASSERT_EQ(sample, low) << k;
                clipped_low++;
            } else {
                ASSERT_EQ(sample, product) << k;
            }
        }
        EXPECT_GT(clipped_high, 0);
        EXPECT_GT(clipped_low, 0);
    }
}

// ---- cosine -----------------------------------------------------------------------

TEST(GeneratorCosine, ZeroStepIsConstantAndUntruncated)
{
    const auto rings = std::make_unique<GeneratorOnRings>();
    Generator &gen = rings->generator;
    const double level = std::pow(2.0, 1.0 / 16.0);  // one slider step above 1.0
    gen.compute_frame(snapshot(level, SOURCE_COSINE, SOURCE_SILENCE));
    for (int k = 0; k < GEN_FRAME; k++)
        ASSERT_EQ(gen.frame_sample(SOURCE_COSINE, k), level * 16777216.0) << k;
}

// A frame without a cosine source leaves the cosine alone but still turns
// the phase, so the next frame that computes one continues from there.
TEST(GeneratorCosine, ComputedOnlyWhenSelectedWhilePhaseAlwaysAdvances)
{
    const auto rings = std::make_unique<GeneratorOnRings>();
    Generator &gen = rings->generator;
    // Not a divisor of 2 pi / 2048, so a lost frame of phase would show.
    constexpr double step = 0.1;
    constexpr double amplitude = 16777216.0;
    gen.compute_frame(snapshot(1.0, SOURCE_BROWN_NOISE, SOURCE_WHITE_NOISE, step));
    for (int k = 0; k < GEN_FRAME; k++)
        ASSERT_EQ(gen.frame_sample(SOURCE_COSINE, k), 0.0) << k;

    gen.compute_frame(snapshot(1.0, SOURCE_SILENCE, SOURCE_COSINE, step));
    std::vector<double> cosine;
    append_frame(gen, cosine, SOURCE_COSINE);
    for (int k = 0; k < GEN_FRAME; k++)
        ASSERT_NEAR(cosine[k], amplitude * std::cos((GEN_FRAME + k + 1) * step), 1e-3) << k;

    gen.compute_frame(snapshot(1.0, SOURCE_BROWN_NOISE, SOURCE_BROWN_NOISE, step));
    std::vector<double> kept;
    append_frame(gen, kept, SOURCE_COSINE);
    EXPECT_EQ(kept, cosine);
}

// ---- band-pass --------------------------------------------------------------------

namespace {

// Runs frames with kernel and returns the raw and band-passed noises of all
// of them, brown first, then white.
struct NoiseRun {
    std::vector<double> raw[2];
    std::vector<double> filtered[2];
};

NoiseRun run_frames(const std::vector<double> &kernel, int frames)
{
    const auto rings = std::make_unique<GeneratorOnRings>();
    Generator &gen = rings->generator;
    GeneratorSnapshot s = snapshot(1.0, SOURCE_BROWN_NOISE_BP, SOURCE_WHITE_NOISE_BP);
    std::copy(kernel.begin(), kernel.end(), s.kernel);
    NoiseRun run;
    for (int f = 0; f < frames; f++) {
        gen.compute_frame(s);
        append_frame(gen, run.raw[0], SOURCE_BROWN_NOISE);
        append_frame(gen, run.raw[1], SOURCE_WHITE_NOISE);
        append_frame(gen, run.filtered[0], SOURCE_BROWN_NOISE_BP);
        append_frame(gen, run.filtered[1], SOURCE_WHITE_NOISE_BP);
    }
    return run;
}

}  // namespace

// Over several frames the overlap-add must equal one long convolution of the
// kernel with the raw noise, tails carried across the frame edges.
TEST(GeneratorBandPass, MatchesPlainConvolutionAcrossFrames)
{
    std::vector<double> kernel(BP_KERNEL_LEN);
    for (int j = 0; j < BP_KERNEL_LEN; j++)
        kernel[j] = std::sin(0.37 * j + 1.0) / (1.0 + 0.01 * j);
    constexpr int frames = 3;
    const NoiseRun run = run_frames(kernel, frames);
    // Rounding of sums of 1024 products of about 2^23.
    const double tolerance = 1e-12 * BP_KERNEL_LEN * 8388608.0;

    for (int noise = 0; noise < 2; noise++) {
        SCOPED_TRACE(noise);
        for (int n = 0; n < frames * GEN_FRAME; n++) {
            double expected = 0.0;
            for (int j = 0; j < BP_KERNEL_LEN && j <= n; j++)
                expected += kernel[j] * run.raw[noise][n - j];
            ASSERT_NEAR(run.filtered[noise][n], expected, tolerance) << n;
        }
    }
}

TEST(GeneratorBandPass, CentreTapAloneDelaysBy512)
{
    constexpr int delay = 512;
    std::vector<double> kernel(BP_KERNEL_LEN, 0.0);
    kernel[delay] = 1.0;
    const NoiseRun run = run_frames(kernel, 2);
    for (int noise = 0; noise < 2; noise++) {
        SCOPED_TRACE(noise);
        for (int n = 0; n < 2 * GEN_FRAME; n++)
            ASSERT_EQ(run.filtered[noise][n], n < delay ? 0.0 : run.raw[noise][n - delay]) << n;
    }
}

// A noise nobody plays band-passed is not filtered; played again, its first
// frame carries the tail of the frame before, made with that frame's kernel,
// as if it had been filtered all along: within the rounding of the plain
// convolution (the same sums in another order).
TEST(GeneratorBandPass, UnplayedNoiseIsSkippedAndComesBackWhole)
{
    const auto rings = std::make_unique<GeneratorOnRings>();
    Generator &gen = rings->generator;
    std::vector<double> kernels[2] = {std::vector<double>(BP_KERNEL_LEN), std::vector<double>(BP_KERNEL_LEN)};
    for (int j = 0; j < BP_KERNEL_LEN; j++) {
        kernels[0][j] = std::sin(0.37 * j + 1.0) / (1.0 + 0.01 * j);
        kernels[1][j] = std::cos(0.11 * j) / (1.0 + 0.02 * j);
    }
    const struct {
        int kernel, source_0, source_1;
        bool filtered[2];  // brown, white
    } frames[] = {
        {0, SOURCE_BROWN_NOISE_BP, SOURCE_WHITE_NOISE, {true, false}},
        {1, SOURCE_SILENCE, SOURCE_BROWN_NOISE, {false, false}},
        {0, SOURCE_WHITE_NOISE_BP, SOURCE_BROWN_NOISE_BP, {true, true}},
    };
    const int bp_sources[2] = {SOURCE_BROWN_NOISE_BP, SOURCE_WHITE_NOISE_BP};
    NoiseRun run;
    for (const auto &f : frames) {
        GeneratorSnapshot s = snapshot(1.0, f.source_0, f.source_1);
        std::copy(kernels[f.kernel].begin(), kernels[f.kernel].end(), s.kernel);
        gen.compute_frame(s);
        for (int noise = 0; noise < 2; noise++) {
            EXPECT_EQ(frame_computed(s, bp_sources[noise], false), f.filtered[noise]);
            append_frame(gen, run.raw[noise], noise == 0 ? SOURCE_BROWN_NOISE : SOURCE_WHITE_NOISE);
            append_frame(gen, run.filtered[noise], bp_sources[noise]);
        }
    }
    // Each raw sample is filtered with the kernel of its own frame.
    const double tolerance = 1e-12 * BP_KERNEL_LEN * 8388608.0;
    for (int noise = 0; noise < 2; noise++) {
        for (int f = 0; f < static_cast<int>(std::size(frames)); f++) {
            if (!frames[f].filtered[noise])
                continue;
            SCOPED_TRACE(testing::Message() << "noise " << noise << " frame " << f);
            for (int n = f * GEN_FRAME; n < (f + 1) * GEN_FRAME; n++) {
                double expected = 0.0;
                for (int j = 0; j < BP_KERNEL_LEN && j <= n; j++)
                    expected += kernels[frames[(n - j) / GEN_FRAME].kernel][j] * run.raw[noise][n - j];
                ASSERT_NEAR(run.filtered[noise][n], expected, tolerance) << n;
            }
        }
    }
}

// ---- thread against the rings ---------------------------------------------------

namespace {

constexpr double UNWRITTEN = 0.5;  // no source makes a half at these settings

void take(SampleRing &ring, RingReader reader, int count)
{
    for (int i = 0; i < count; i++)
        ring_pop(ring, reader);
}

// Both rings' write index; the generator moves them under one lock hold.
std::uint32_t write_index(SampleExchange &exchange)
{
    MutexLock lock(exchange.ring_mutex);
    const std::uint32_t index = exchange.out_ring_0.write_index.load();
    EXPECT_EQ(exchange.out_ring_1.write_index.load(), index);
    return index;
}

bool wait_for_write_index(SampleExchange &exchange, std::uint32_t index)
{
    return wait_for([&exchange, index] { return write_index(exchange) == index; }, std::chrono::seconds(30));
}

// The write index once the generator thread has looked at the rings as they
// are now and gone back to waiting: a generator that had room would have
// written its frame before. Of two sleeps begun from now, the second
// follows a look taken after the first, so after the rings last changed.
std::uint32_t write_index_once_it_waits(SampleExchange &exchange)
{
    const pid_t generator = thread_named("orvel-generator");
    EXPECT_NE(generator, 0);
    const long slept = voluntary_switches(generator);
    EXPECT_TRUE(wait_for([&] { return voluntary_switches(generator) >= slept + 2; }, std::chrono::seconds(30)))
        << "the generator never went back to waiting";
    return write_index(exchange);
}

}  // namespace

// From empty rings the generator writes two frames, then waits until every
// reader of both rings has made room for a third; each ring carries its own
// output's source.
TEST(GeneratorThread, WritesTwoFramesThenWaitsForEveryReader)
{
    const auto rings = std::make_unique<GeneratorOnRings>();
    SampleExchange &exchange = rings->exchange;
    std::fill(std::begin(exchange.out_ring_0.values), std::end(exchange.out_ring_0.values), UNWRITTEN);
    std::fill(std::begin(exchange.out_ring_1.values), std::end(exchange.out_ring_1.values), UNWRITTEN);
    constexpr double level = 0.0625;
    const double no_kernel[BP_KERNEL_LEN] = {};
    rings->generator.set_output_source(0, SOURCE_WHITE_NOISE);
    rings->generator.set_output_source(1, SOURCE_SILENCE);
    rings->generator.set_sound(level, 0.0, no_kernel);
    rings->generator.start();

    ASSERT_TRUE(wait_for_write_index(exchange, 2 * GEN_FRAME));
    EXPECT_EQ(write_index_once_it_waits(exchange), 2u * GEN_FRAME);

    // 1025 taken by three readers and 1024 by the last leave that reader
    // one slot short of a frame.
    constexpr int needed = GEN_FRAME - (RING_SIZE - 1 - 2 * GEN_FRAME);
    {
        MutexLock lock(exchange.ring_mutex);
        take(exchange.out_ring_0, RingReader::tap, needed);
        take(exchange.out_ring_0, RingReader::consumer, needed);
        take(exchange.out_ring_1, RingReader::tap, needed);
        take(exchange.out_ring_1, RingReader::consumer, needed - 1);
        exchange.tap_moved.broadcast();
    }
    EXPECT_EQ(write_index_once_it_waits(exchange), 2u * GEN_FRAME);

    {
        MutexLock lock(exchange.ring_mutex);
        take(exchange.out_ring_1, RingReader::consumer, 1);
        exchange.tap_moved.broadcast();
    }
    ASSERT_TRUE(wait_for_write_index(exchange, 3 * GEN_FRAME % RING_SIZE));
    EXPECT_EQ(write_index_once_it_waits(exchange), 3u * GEN_FRAME % RING_SIZE);

    // The third frame wrapped round and overwrote the first 1024 slots.
    const std::vector<double> white = white_reference(3 * GEN_FRAME);
    MutexLock lock(exchange.ring_mutex);
    for (std::uint32_t i = 3 * GEN_FRAME - RING_SIZE; i < 3 * GEN_FRAME; i++) {
        ASSERT_EQ(exchange.out_ring_0.values[i % RING_SIZE], std::trunc(white[i] * level)) << i;
        ASSERT_EQ(exchange.out_ring_1.values[i % RING_SIZE], 0.0) << i;
    }
}

// Playback is fed as the assembler taps what was played: once the tap has
// moved far enough, the assembler wakes the generator, long before the
// generator's own longest look (which alone would refill a frame every
// 100 ms and let playback run dry for half of each second). The server here
// plays each period as soon as the generator has written it, so a missed
// wake-up shows as a stall of many seconds.
TEST(GeneratorAndAssembler, KeepPlaybackFedAsTheTapMoves)
{
    const std::unique_ptr<Analysis> analysis = start_analysis(engine_config(48000));
    analysis->engine.toggle_freeze();  // the assembler taps every block, but no jobs are made
    SampleExchange &exchange = analysis->exchange;
    Generator generator(exchange);
    generator.set_output_source(0, SOURCE_WHITE_NOISE);
    generator.set_output_source(1, SOURCE_WHITE_NOISE);
    generator.start();

    constexpr std::uint32_t PERIOD = 256;
    constexpr int FRAMES = 1000;  // about 50 s when only the generator's longest looks refill
    std::vector<float> io_1(PERIOD);
    std::vector<float> io_2(PERIOD);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (int period = 0; period < FRAMES * GEN_FRAME / static_cast<int>(PERIOD); period++) {
        while (std::min(ring_fill(exchange.out_ring_0, RingReader::consumer),
                        ring_fill(exchange.out_ring_1, RingReader::consumer)) < PERIOD) {
            ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "playback still waits at period " << period;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        std::fill(io_1.begin(), io_1.end(), 0.0f);
        std::fill(io_2.begin(), io_2.end(), 0.0f);
        exchange.exchange(io_1.data(), io_2.data(), PERIOD);
        analysis->wake_assembler_if_block();
    }
}

// The pushed frame follows a switch made while it was computed, but a switch
// to a source the frame did not compute (the cosine, or a band-passed noise
// nobody played) would play a stale frame: output 0 then keeps its snapshot
// source for one frame more.
TEST(GeneratorSources, SwitchDuringAFrame)
{
    const struct { int selected, snapshot_0, snapshot_1, played; } cases[] = {
        {SOURCE_WHITE_NOISE, SOURCE_SILENCE, SOURCE_SILENCE, SOURCE_WHITE_NOISE},
        {SOURCE_SILENCE, SOURCE_COSINE, SOURCE_SILENCE, SOURCE_SILENCE},
        {SOURCE_COSINE, SOURCE_COSINE, SOURCE_SILENCE, SOURCE_COSINE},
        {SOURCE_COSINE, SOURCE_BROWN_NOISE, SOURCE_COSINE, SOURCE_COSINE},  // output 1 computed it
        {SOURCE_COSINE, SOURCE_BROWN_NOISE, SOURCE_SILENCE, SOURCE_BROWN_NOISE},
        {SOURCE_WHITE_NOISE_BP, SOURCE_WHITE_NOISE, SOURCE_SILENCE, SOURCE_WHITE_NOISE},
        {SOURCE_WHITE_NOISE_BP, SOURCE_SILENCE, SOURCE_WHITE_NOISE_BP, SOURCE_WHITE_NOISE_BP},
        {SOURCE_BROWN_NOISE_BP, SOURCE_WHITE_NOISE_BP, SOURCE_SILENCE, SOURCE_WHITE_NOISE_BP},  // only white was filtered
    };
    for (const auto &c : cases) {
        const GeneratorSnapshot s = snapshot(1.0, c.snapshot_0, c.snapshot_1);
        EXPECT_EQ(frame_source(c.selected, c.snapshot_0, frame_computed(s, c.selected, false)), c.played)
            << c.selected << " " << c.snapshot_0 << " " << c.snapshot_1;
    }
}
