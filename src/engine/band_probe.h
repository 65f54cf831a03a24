// A measurement of one job's window at any band, for the estimators that look
// between the grid points the coarse pass measures.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>

// Band b (fractional, b >= 0) lies b / 256 semitones above A0, as the band
// table says for whole b; a band beyond the table extends it by the same rule.
struct BandProbe {
    std::uint64_t window;  // samples in the job's window
    // Cycles per sample of band b, tuning included.
    double (*step)(double band, const void *context);
    // sqrt(c^2 + s^2) / (length / 2) of the tone at `step` over the newest
    // `length` samples of the window (1 <= length <= window): the magnitude
    // SubStepProbe reports, free of the level's phase ripple.
    double (*magnitude)(double step, std::uint64_t length, const void *context);
    const void *context;
};

// A short probe holds this many cycles: its main lobe then reaches from one
// tempered pitch to the next, so a tone shows in its nearest group with at
// least 0.64 of its magnitude, whatever its offset, and in the groups beyond
// with little.
constexpr double SHORT_PROBE_CYCLES = 17.0;
constexpr std::uint64_t SHORTEST_PROBE = 32;

// Samples of a short probe at step (cycles per sample): SHORT_PROBE_CYCLES
// of it, but no fewer than SHORTEST_PROBE and no more than the window.
inline std::uint64_t short_probe_length(double step, std::uint64_t window)
{
    const auto cycles = static_cast<std::uint64_t>(std::ceil(SHORT_PROBE_CYCLES / step));
    return std::clamp(cycles, std::min(SHORTEST_PROBE, window), window);
}
