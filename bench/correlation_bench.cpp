// One job's lags at the default windows (7168 at 16000 Hz, 24576 at 48000 Hz)
// and the largest (786432, 16 s at 48000 Hz): the literal block-by-block
// convolution against the spectral path, on the same noise.
#include "engine/correlation.h"

#include <benchmark/benchmark.h>

#include <random>
#include <vector>

namespace {

struct Job {
    std::vector<double> samples;
    std::vector<double> reference = std::vector<double>(1024);
    std::vector<double> product;
    explicit Job(std::uint64_t window) : samples(window + 1024), product(window + 2048)
    {
        std::mt19937 rng(1);
        std::uniform_real_distribution<double> dist(-1.0, 1.0);
        for (double &v : samples)
            v = dist(rng);
        for (double &v : reference)
            v = dist(rng);
    }
};

template <void (*correlate)(const double *, const double *, double *, std::uint64_t)>
void BM_correlate(benchmark::State &state)
{
    const auto window = static_cast<std::uint64_t>(state.range(0));
    Job job(window);
    for (auto _ : state) {
        correlate(job.samples.data(), job.reference.data(), job.product.data(), window);
        benchmark::DoNotOptimize(job.product.data());
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_correlate<correlate_literal>)->Arg(7168)->Arg(24576)->Arg(786432)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_correlate<correlate_spectral>)->Arg(7168)->Arg(24576)->Arg(786432)->Unit(benchmark::kMicrosecond);

}  // namespace
