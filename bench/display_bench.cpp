// What the two views do under the engine's results lock on every repaint,
// while the correlation workers and the collector wait for that lock: the
// graph's correlation scan and images, and the band view's strip.
#include "engine/engine_types.h"
#include "ui/band_view.h"
#include "ui/graph_view.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

namespace {

constexpr int WIDTH = 1000;     // a maximised graph view
constexpr int HEIGHT = 600;
constexpr std::uint64_t GROUPS = 108;   // nine octaves, at 16000 Hz
constexpr std::uint64_t ROWS = 256;

void BM_GraphUnderLock(benchmark::State &state)
{
    const auto window = static_cast<std::uint64_t>(state.range(0));
    std::vector<double> sum(window);
    for (std::uint64_t i = 0; i < window; i++)
        sum[i] = std::sin(0.001 * double(i)) * 1e6;
    std::vector<ToneEntry> rows(GROUPS * ROWS);
    for (std::uint64_t i = 0; i < rows.size(); i++)
        rows[i] = {double(1 + (i * 7919) % 1000), 0.0, double(i % GROUPS * 256)};
    ResultView view{};
    view.correlation_sum = sum.data();
    view.window_size = window;
    view.tone_rows = rows.data();
    view.groups = GROUPS;
    view.completed = 1000;
    for (auto _ : state) {
        GraphImages images = blank_graph_images(WIDTH, HEIGHT, GROUPS, ROWS);
        benchmark::DoNotOptimize(fill_graph_images(images, view, {0, window - 1}));
    }
    state.SetLabel("correlation window " + std::to_string(window));
}
// The default window at 16000 Hz, the default at 48000 Hz, the largest.
BENCHMARK(BM_GraphUnderLock)->Arg(7168)->Arg(23552)->Arg(768000)->Unit(benchmark::kMicrosecond);

void BM_BandStripUnderLock(benchmark::State &state)
{
    std::vector<PitchClassPeak> rows(ROWS * PITCH_CLASS_COUNT);
    for (std::uint64_t i = 0; i < rows.size(); i++)
        rows[i] = {double(1 + (i * 7919) % 1000), double(i % 12), 15360.0};
    ResultView view{};
    view.pitch_class_rows = rows.data();
    view.completed = 1000;
    for (auto _ : state)
        benchmark::DoNotOptimize(build_band_strip(view, 1.0));
}
BENCHMARK(BM_BandStripUnderLock)->Unit(benchmark::kMicrosecond);

}  // namespace
