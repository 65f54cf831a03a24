#include "siggen/filter_design.h"

#include "engine/engine_types.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

namespace {

constexpr int CENTRE_TAP = BP_KERNEL_LEN / 2;  // entry of tap 0
constexpr int LAST_TAP = CENTRE_TAP - 1;       // taps run -511 .. 511; entry 0 stays unused
constexpr double TWO_PI_OVER_512 = 0.01227184630308513;

}  // namespace

void add_lowpass(double *kernel, double fc, int rate_hz)
{
    const double rate = rate_hz;
    kernel[CENTRE_TAP] += 2.0 * fc / rate;
    // w = 2 pi fc / rate; this order of operations fixes the kernel's last bits.
    const double w = fc / rate * 512.0 * TWO_PI_OVER_512;
    for (int i = -LAST_TAP; i <= LAST_TAP; i++) {
        if (i == 0)
            continue;
        kernel[CENTRE_TAP + i] += std::sin(w * i) / (i * std::numbers::pi);
    }
}

FilterDesign design_filter(int centre, int width, int level, int rate)
{
    FilterDesign design{};
    const double half = width * 0.5;
    // Below rate / 1024 the 1023 taps cannot resolve the edge anyway.
    design.lower = std::max({1.0, static_cast<double>(rate / 1024), centre - half});
    design.upper = std::min(static_cast<double>(rate / 2), centre + half);
    // Low-pass(lower) minus low-pass(upper): the band with gain -1. When the
    // edges cross it turns into a positive band between them.
    add_lowpass(design.kernel, design.lower, rate);
    add_lowpass(design.kernel, -design.upper, rate);
    design.level = std::pow(2.0, level / LEVEL_STEPS_PER_OCTAVE);
    design.phase_step = centre * 2 * std::numbers::pi / rate;
    return design;
}

void apply_filter_design(Generator &generator, int centre, int width, int level, int rate)
{
    const FilterDesign design = design_filter(centre, width, level, rate);
    generator.set_sound(design.level, design.phase_step, design.kernel);
}
