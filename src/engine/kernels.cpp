#include "engine/kernels.h"

#include <cmath>

namespace {

// Below this length the quadratic loop beats another level of recursion.
constexpr std::uint64_t KARATSUBA_MIN_LENGTH = 32;

void schoolbook(const double *pairs, double *lo, double *hi, std::uint64_t n)
{
    for (std::uint64_t i = 0; i < n; i++) {
        const double a = pairs[2 * i];
        std::uint64_t j = 0;
        for (; i + j < n; j++)
            lo[i + j] += a * pairs[2 * j + 1];
        for (; j < n; j++)
            hi[i + j - n] += a * pairs[2 * j + 1];
    }
}

}  // namespace

void karatsuba_step(double *pairs, double *lo, double *hi, std::uint64_t n, bool toggle)
{
    if (n < KARATSUBA_MIN_LENGTH) {
        schoolbook(pairs, lo, hi, n);
        return;
    }
    const std::uint64_t m = n / 2;
    double *l0 = lo;
    double *l1 = lo + m;
    double *h0 = hi;
    double *h1 = hi + m;
    double *lower = pairs;
    double *upper = pairs + 2 * m;

    if (toggle) {
        for (std::uint64_t i = 0; i < m; i++) {
            const double sum = l0[i] + l1[i];
            l1[i] = sum;
            h0[i] = sum + h0[i] + h1[i];
        }
        karatsuba_step(lower, l0, l1, m, true);
        for (std::uint64_t i = 0; i < m; i++)
            l1[i] = -l1[i];
        karatsuba_step(upper, l1, h1, m, true);
        for (std::uint64_t i = 0; i < m; i++) {
            const double old_l1 = l1[i];
            l1[i] = -l0[i] - old_l1;
            h0[i] = old_l1 + h0[i] - h1[i];
            upper[2 * i] += lower[2 * i];
            upper[2 * i + 1] += lower[2 * i + 1];
        }
        karatsuba_step(upper, l1, h0, m, false);
    } else {
        karatsuba_step(upper, l1, h0, m, true);
        for (std::uint64_t i = 0; i < m; i++) {
            const double old_l1 = l1[i];
            l1[i] = -l0[i] - old_l1;
            h0[i] = l0[i] + old_l1 + h0[i] + h1[i];
            upper[2 * i] -= lower[2 * i];
            upper[2 * i + 1] -= lower[2 * i + 1];
        }
        karatsuba_step(upper, l1, h1, m, false);
        for (std::uint64_t i = 0; i < m; i++)
            l1[i] = -l1[i];
        karatsuba_step(lower, l0, l1, m, false);
        for (std::uint64_t i = 0; i < m; i++) {
            const double old_l1 = l1[i];
            l1[i] = old_l1 - l0[i];
            h0[i] = h0[i] - old_l1 - h1[i];
        }
    }
}

void convolve_add(const double *x, const double *h, double *out, std::uint64_t n)
{
    if ((n & (n - 1)) != 0 || n > CONVOLVE_MAX_LENGTH)
        return;
    double pairs[2 * CONVOLVE_MAX_LENGTH];
    for (std::uint64_t i = 0; i < n; i++) {
        pairs[2 * i] = x[i];
        pairs[2 * i + 1] = h[i];
    }
    karatsuba_step(pairs, out, out + n, n, true);
}

double tri_cos(double x)
{
    const double f = x - std::floor(x);
    if (f == 0.0)
        return 1.0;
    if (f == 0.5)
        return -1.0;
    // ceil/floor instead of constants keep each quarter exact at its ends.
    const double y = 4.0 * f;
    if (y < 1.0)
        return std::ceil(y) - y;
    if (y < 2.0)
        return std::floor(y) - y;
    if (y < 3.0)
        return y - std::ceil(y);
    return y - std::floor(y);
}

double tri_sin(double x)
{
    return tri_cos(x + 0.75);
}

const double THIRD_OCTAVE_CENTRE_HZ[31] = {
    20, 25, 31.5, 40, 50, 63, 80, 100, 125, 160, 200, 250, 315, 400, 500, 630,
    800, 1000, 1250, 1600, 2000, 2500, 3150, 4000, 5000, 6300, 8000, 10000,
    12500, 16000, 20000,
};

int iso_third_octave_band(double frequency)
{
    const double *t = THIRD_OCTAVE_CENTRE_HZ;
    if (frequency < (t[0] + t[1]) * 0.5)
        return 1;
    for (int i = 1; i <= 29; i++) {
        if (frequency >= (t[i - 1] + t[i]) * 0.5 && frequency < (t[i] + t[i + 1]) * 0.5)
            return i + 1;
    }
    return frequency >= (t[29] + t[30]) * 0.5 ? 31 : 0;
}
