// A measurement of one job's window at any band, for the estimators that look
// between the grid points the coarse pass measures.
#pragma once

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
