// Band-pass design for the generator: turns the generator page's three slider
// values into the band-pass kernel, the level and the cosine step.
#pragma once

#include "siggen/generator.h"

// Level slider steps per doubling of the amplitude.
constexpr double LEVEL_STEPS_PER_OCTAVE = 16.0;

// Add a truncated ideal low-pass kernel with cut-off fc Hz at rate_hz to
// kernel (BP_KERNEL_LEN entries, tap i at 512 + i). A negative fc adds the
// negated low-pass of |fc|. Pure.
void add_lowpass(double *kernel, double fc, int rate_hz);

struct FilterDesign {
    double lower;                    // lower band edge in Hz, after clamping
    double upper;                    // upper band edge in Hz, after clamping
    double kernel[BP_KERNEL_LEN];    // low-pass(lower) minus low-pass(upper)
    double level;                    // 2^(level slider / 16)
    double phase_step;               // 2 pi centre / rate
};

// The design for centre frequency and band width in Hz and the level slider
// value (-256 .. 256), at rate Hz. Pure.
FilterDesign design_filter(int centre, int width, int level, int rate);

// Design at the engine rate and hand the kernel, level and cosine step to the
// generator (Generator::set_sound). User-interface thread.
void apply_filter_design(Generator &generator, int centre, int width, int level, int rate);
