#include "engine/kernels.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

namespace {

constexpr double SENTINEL = 12345.678;

std::vector<double> random_values(std::size_t count, std::mt19937 &rng)
{
    std::uniform_real_distribution<double> dist(-1.0, 1.0);
    std::vector<double> values(count);
    for (double &v : values)
        v = dist(rng);
    return values;
}

}  // namespace

// Every power of two up to the maximum against the plain double loop, adding
// into an output that already holds values; the last entry must stay as it was.
TEST(ConvolveAdd, MatchesPlainLoopForEveryPowerOfTwo)
{
    std::mt19937 rng(7);
    for (std::uint64_t n = 1; n <= CONVOLVE_MAX_LENGTH; n *= 2) {
        SCOPED_TRACE(n);
        const std::vector<double> x = random_values(n, rng);
        const std::vector<double> h = random_values(n, rng);
        std::vector<double> out = random_values(2 * n, rng);
        out[2 * n - 1] = SENTINEL;
        std::vector<double> expected = out;
        for (std::uint64_t i = 0; i < n; i++)
            for (std::uint64_t j = 0; j < n; j++)
                expected[i + j] += x[i] * h[j];

        const std::vector<double> x_before = x;
        const std::vector<double> h_before = h;
        convolve_add(x.data(), h.data(), out.data(), n);

        EXPECT_EQ(x, x_before);
        EXPECT_EQ(h, h_before);
        EXPECT_EQ(out[2 * n - 1], SENTINEL);
        for (std::uint64_t k = 0; k + 1 < 2 * n; k++)
            ASSERT_NEAR(out[k], expected[k], 1e-9 * std::sqrt(double(n))) << "k = " << k;
    }
}

TEST(ConvolveAdd, RejectedLengthsLeaveOutputAlone)
{
    const std::uint64_t lengths[] = {0, 3, 1000, 2 * CONVOLVE_MAX_LENGTH};
    for (std::uint64_t n : lengths) {
        SCOPED_TRACE(n);
        const std::vector<double> x(n + 1, 1.0);
        const std::vector<double> h(n + 1, 1.0);
        std::vector<double> out(2 * n + 2, SENTINEL);
        convolve_add(x.data(), h.data(), out.data(), n);
        for (double v : out)
            ASSERT_EQ(v, SENTINEL);
    }
}

TEST(TriangleWaves, Tables)
{
    const struct { double x, cos; } cos_cases[] = {
        {0, 1}, {0.125, 0.5}, {0.25, 0}, {0.375, -0.5}, {0.5, -1}, {0.75, 0},
        {1.25, 0}, {-0.25, 0}, {-0.5, -1}, {0.625, -0.5}, {0.875, 0.5}, {1e17, 1},
    };
    for (const auto &c : cos_cases)
        EXPECT_EQ(tri_cos(c.x), c.cos) << "tri_cos(" << c.x << ")";

    const struct { double x, sin; } sin_cases[] = {
        {0, 0}, {0.25, 1}, {0.5, 0}, {0.75, -1}, {0.125, 0.5}, {-0.25, -1},
    };
    for (const auto &c : sin_cases)
        EXPECT_EQ(tri_sin(c.x), c.sin) << "tri_sin(" << c.x << ")";
}

TEST(TriangleWaves, MatchClosedForm)
{
    for (int i = -4000; i <= 4000; i++) {
        const double x = i * 0.00131;
        const double f = x - std::floor(x);
        ASSERT_NEAR(tri_cos(x), 4.0 * std::fabs(f - 0.5) - 1.0, 1e-12) << x;
    }
}

TEST(IsoThirdOctaveBand, Table)
{
    const struct { double hz; int band; } cases[] = {
        {-5, 1}, {13.75, 1}, {22.4999, 1}, {22.5, 2}, {27.5, 2}, {28.25, 3},
        {440, 14}, {1000, 18}, {17999, 30}, {18000, 31}, {25000, 31},
        {std::numeric_limits<double>::quiet_NaN(), 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(iso_third_octave_band(c.hz), c.band) << c.hz << " Hz";
}
