// convolve_add at the block length every caller uses, against the plain
// quadratic loop it replaces.
#include "engine/kernels.h"

#include <benchmark/benchmark.h>

#include <random>
#include <vector>

namespace {

constexpr std::uint64_t N = 1024;

struct Blocks {
    std::vector<double> x = std::vector<double>(N);
    std::vector<double> h = std::vector<double>(N);
    std::vector<double> out = std::vector<double>(2 * N);
    Blocks()
    {
        std::mt19937 rng(1);
        std::uniform_real_distribution<double> dist(-1.0, 1.0);
        for (std::uint64_t i = 0; i < N; i++) {
            x[i] = dist(rng);
            h[i] = dist(rng);
        }
    }
};

void BM_convolve_add(benchmark::State &state)
{
    Blocks b;
    for (auto _ : state) {
        convolve_add(b.x.data(), b.h.data(), b.out.data(), N);
        benchmark::DoNotOptimize(b.out.data());
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_convolve_add)->Unit(benchmark::kMicrosecond);

void BM_convolve_plain(benchmark::State &state)
{
    Blocks b;
    for (auto _ : state) {
        for (std::uint64_t i = 0; i < N; i++)
            for (std::uint64_t j = 0; j < N; j++)
                b.out[i + j] += b.x[i] * b.h[j];
        benchmark::DoNotOptimize(b.out.data());
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_convolve_plain)->Unit(benchmark::kMicrosecond);

}  // namespace
