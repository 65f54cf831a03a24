// Small numeric kernels shared by the correlation stage, the tone detector
// and the generator. Pure functions: no state, no locks, any thread.
#pragma once

#include <cstdint>

// Longest block convolve_add accepts. Its scratch lives on the caller's
// stack (16 bytes per sample: 16 KiB at this length).
constexpr std::uint64_t CONVOLVE_MAX_LENGTH = 1024;

// Adds the linear convolution of x and h (n samples each) into out (2n
// entries): out[k] += sum of x[i] * h[j] over i + j = k for k < 2n - 1;
// out[2n - 1] is left alone. Does nothing unless n is a power of two no
// larger than CONVOLVE_MAX_LENGTH. Allocates nothing.
void convolve_add(const double *x, const double *h, double *out, std::uint64_t n);

// The in-place Karatsuba recursion behind convolve_add. pairs holds n
// interleaved (a_i, b_i) and is consumed; lo and hi are the two halves of
// the output. Only a top-level call with toggle set has the plain
// "add the product into lo:hi" contract; the toggle-clear variant relies on
// what its toggle-set caller left behind.
void karatsuba_step(double *pairs, double *lo, double *hi, std::uint64_t n, bool toggle);

// Triangle wave of period 1 standing in for cos(2 pi x): 1 at integers,
// -1 at half-integers, linear in between. Exact at multiples of 1/8.
double tri_cos(double x);
// tri_cos shifted a quarter period: 0 at 0, 1 at 0.25, -1 at 0.75.
double tri_sin(double x);

// ISO one-third-octave band of a frequency in Hz: 1 for 20 Hz .. 31 for
// 20 kHz, clamped at both ends; 0 only for NaN.
int iso_third_octave_band(double frequency);

// The 31 nominal one-third-octave mid-band frequencies in Hz, 20 .. 20000;
// band number b has the centre THIRD_OCTAVE_CENTRE_HZ[b - 1].
extern const double THIRD_OCTAVE_CENTRE_HZ[31];
