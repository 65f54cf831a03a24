#include "siggen/filter_design.h"

#include "engine/engine_types.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <numbers>
#include <vector>

namespace {

constexpr int CENTRE = BP_KERNEL_LEN / 2;  // entry of tap 0
constexpr double PI = std::numbers::pi;

// The kernel's response at f Hz, referred to its centre tap; real, since the
// taps are symmetric about it.
double response(const double *kernel, double f, int rate)
{
    double sum = 0.0;
    for (int i = 1 - CENTRE; i < CENTRE; i++)
        sum += kernel[CENTRE + i] * std::cos(2.0 * PI * f * i / rate);
    return sum;
}

}  // namespace

// fc = R / 4 puts w at pi / 2, where the taps are known in closed form. The
// same cut-off negated must take away exactly what was added.
TEST(Lowpass, QuarterRateTapsAndNegativeCutOff)
{
    constexpr int RATE = 16000;
    std::vector<double> kernel(BP_KERNEL_LEN, 0.0);
    add_lowpass(kernel.data(), RATE / 4.0, RATE);

    const struct { int tap; double value; } taps[] = {
        {0, 0.5}, {1, 1 / PI}, {-1, 1 / PI}, {2, 0.0}, {-2, 0.0}, {3, -1 / (3 * PI)}, {-3, -1 / (3 * PI)},
    };
    for (const auto &t : taps)
        EXPECT_NEAR(kernel[CENTRE + t.tap], t.value, 1e-15) << t.tap;
    EXPECT_EQ(kernel[0], 0.0);

    add_lowpass(kernel.data(), -RATE / 4.0, RATE);
    for (int j = 0; j < BP_KERNEL_LEN; j++)
        ASSERT_EQ(kernel[j], 0.0) << j;
}

// Band edges, level and cosine step, with the clamps at both ends. Tap 0 of
// a low-pass is 2 fc / R, so the kernel's shows which edges went in, and with
// which sign.
TEST(FilterDesign, EdgesLevelAndStep)
{
    const struct {
        int rate, centre, width, level;
        double lower, upper, gen_level;
    } cases[] = {
        {16000, 4000, 20, -64, 3990, 4010, 0.0625},        // the panel's defaults
        {16000, 1000, 25, 0, 987.5, 1012.5, 1.0},          // half a hertz kept
        {16000, 4000, 16000, 0, 15, 8000, 1.0},            // wider than the spectrum
        {16000, 1, 1, 256, 15, 1.5, 65536.0},              // edges cross: a positive band
        {8000, 2000, 8000, -256, 7, 4000, 1.0 / 65536.0},  // floor at 8000 Hz
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.rate << " Hz, centre " << c.centre << ", width " << c.width);
        const FilterDesign design = design_filter(c.centre, c.width, c.level, c.rate);
        EXPECT_EQ(design.lower, c.lower);
        EXPECT_EQ(design.upper, c.upper);
        EXPECT_EQ(design.level, c.gen_level);
        EXPECT_DOUBLE_EQ(design.phase_step, 2.0 * PI * c.centre / c.rate);
        EXPECT_NEAR(design.kernel[CENTRE], 2.0 * (c.lower - c.upper) / c.rate, 1e-15);
        EXPECT_EQ(design.kernel[0], 0.0);
    }
}

// Inside the band the gain is -1 (inverted polarity), well outside it 0.
TEST(FilterDesign, PassesTheBandAndRejectsTheRest)
{
    const struct {
        int rate, centre, width;
        double f, gain;
    } cases[] = {
        {16000, 4000, 2000, 4000, -1.0}, {16000, 4000, 2000, 1000, 0.0}, {16000, 4000, 2000, 7000, 0.0},
        {16000, 2000, 1000, 2100, -1.0}, {16000, 2000, 1000, 200, 0.0},  {16000, 2000, 1000, 6000, 0.0},
        {8000, 1000, 400, 1000, -1.0},   {8000, 1000, 400, 100, 0.0},    {8000, 1000, 400, 3000, 0.0},
    };
    // The untapered kernel ripples by about R / (pi^2 1023 d) at d Hz from an edge.
    constexpr double tolerance = 0.01;
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.rate << " Hz, band " << c.centre << " +- " << c.width / 2
                                        << ", at " << c.f << " Hz");
        const FilterDesign design = design_filter(c.centre, c.width, 0, c.rate);
        EXPECT_NEAR(response(design.kernel, c.f, c.rate), c.gain, tolerance);
    }
}

TEST(FilterDesign, ApplyPublishesKernelLevelAndStep)
{
    const auto exchange = std::make_unique<SampleExchange>(16000);
    Generator generator(*exchange);
    apply_filter_design(generator, 1000, 500, 16, 16000);
    const FilterDesign expected = design_filter(1000, 500, 16, 16000);
    const GeneratorSnapshot published = generator.snapshot();
    EXPECT_EQ(published.level, 2.0);
    EXPECT_DOUBLE_EQ(published.phase_step, PI / 8);
    EXPECT_TRUE(std::equal(published.kernel, published.kernel + BP_KERNEL_LEN, expected.kernel));
}
