// tone_level at the default window (16000 Hz, half a second): the fast path,
// the literal path, and the plain loop over tri_cos / tri_sin that the
// literal path matches bit for bit.
#include "engine/kernels.h"
#include "engine/tone_level.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <random>
#include <vector>

namespace {

constexpr std::uint64_t W = 7168;
constexpr double STEP = 440.0 / 16000.0;

std::vector<double> noise()
{
    std::mt19937 rng(1);
    std::uniform_real_distribution<double> dist(-1e6, 1e6);
    std::vector<double> window(W);
    for (double &v : window)
        v = dist(rng);
    return window;
}

void BM_tone_level(benchmark::State &state)
{
    const std::vector<double> window = noise();
    double level = 0.0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(tone_level(window.data(), W, &level, STEP));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_tone_level)->Unit(benchmark::kMicrosecond);

void BM_tone_level_literal(benchmark::State &state)
{
    const std::vector<double> window = noise();
    double level = 0.0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(tone_level_literal(window.data(), W, &level, STEP));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_tone_level_literal)->Unit(benchmark::kMicrosecond);

void BM_tone_level_plain(benchmark::State &state)
{
    const std::vector<double> window = noise();
    for (auto _ : state) {
        double phase = 0.0, c = 0.0, s = 0.0;
        for (std::uint64_t i = 0; i < W; i++) {
            c += tri_cos(phase) * window[i];
            s += tri_sin(phase) * window[i];
            phase += STEP;
        }
        benchmark::DoNotOptimize((std::fabs(c) + std::fabs(s)) / (W * 0.5));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_tone_level_plain)->Unit(benchmark::kMicrosecond);

// A prepared window against the fast path, by samples a period (the range
// argument): whole quarters take over from 64 samples a period.
void BM_tone_window(benchmark::State &state)
{
    const std::vector<double> window = noise();
    ToneWindow prepared;
    prepared.prepare(window.data(), W);
    const double step = 1.0 / static_cast<double>(state.range(0));
    for (auto _ : state) {
        benchmark::DoNotOptimize(prepared.newest_sums(W, step));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_tone_window)->Arg(32)->Arg(48)->Arg(64)->Arg(96)->Arg(128)->Arg(512)->Unit(benchmark::kMicrosecond);

void BM_tone_sums(benchmark::State &state)
{
    const std::vector<double> window = noise();
    const double step = 1.0 / static_cast<double>(state.range(0));
    for (auto _ : state) {
        benchmark::DoNotOptimize(tone_sums(window.data(), W, step));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_tone_sums)->Arg(32)->Arg(128)->Unit(benchmark::kMicrosecond);

// What a prepared window costs once per job: its running sums, made by the
// first low probe (compare BM_tone_window/512).
void BM_tone_window_prepare(benchmark::State &state)
{
    const std::vector<double> window = noise();
    ToneWindow prepared;
    for (auto _ : state) {
        prepared.prepare(window.data(), W);
        benchmark::DoNotOptimize(prepared.newest_sums(W, 1.0 / 512.0));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_tone_window_prepare)->Unit(benchmark::kMicrosecond);

}  // namespace
