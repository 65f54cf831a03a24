// Correlation stage: each job's reversed correlation-channel block is
// convolved with the main-channel history, and the window_size lags where
// they fully overlap are folded into the engine's correlation_sum with its
// decay (Engine::compute_lags, fold_lags). Index i of correlation_sum is the
// delay window_size - 1 - i. The kernels here are pure.
#pragma once

#include <cstdint>

// One thread's working arrays for correlate_spectral (FFTW-aligned).
class SpectralScratch {
public:
    SpectralScratch();
    ~SpectralScratch();
    SpectralScratch(const SpectralScratch &) = delete;
    SpectralScratch &operator=(const SpectralScratch &) = delete;

    double *padded;     // a block, then zeros
    double *lags;       // one lag block's circular correlation
    double (*reference)[2];  // the reference block's spectrum
    double (*block)[2];      // this history block's spectrum
    double (*next)[2];       // the next history block's spectrum
    double (*product)[2];    // the lag block's spectrum
};

// The lags of a window (a multiple of 1024) into product[1024 .. 1024 +
// window - 1]: product[1024 + i] is the sum over t < 1024 of
// corr[t] * samples[i + 1 + t], where corr is reference read backwards (it is
// stored time-reversed). samples holds window + 1024 values.
//
// The literal path adds the block-by-block convolutions (convolve_add) into
// product, which must start at zero, and fills product[0 .. N + 1022]. The
// spectral path gets the same lags from 2048-point transforms (FFTW), one
// per history block and one back per lag block, within rounding of the
// largest lag, and writes only those. Any thread, each with its own scratch
// (the form without one uses the calling thread's, made on its first call).
void correlate_literal(const double *samples, const double *reference, double *product, std::uint64_t window);
void correlate_spectral(const double *samples, const double *reference, double *product, std::uint64_t window,
                        SpectralScratch &scratch);
void correlate_spectral(const double *samples, const double *reference, double *product, std::uint64_t window);
