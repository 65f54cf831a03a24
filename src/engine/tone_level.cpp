#include "engine/tone_level.h"

#include "engine/kernels.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// tri_sin(x) is tri_cos(x + this): the sine lags a quarter period behind.
constexpr double SINE_PHASE_OFFSET = 0.75;
// Adding and taking away 2^52 rounds a double in [0, 2^52) to the nearest
// whole number (IEEE double arithmetic; not valid under -ffast-math).
constexpr double ROUNDING_SHIFT = 4503599627370496.0;  // 2^52
// A call whose step times window length stays below 2^51 keeps every phase,
// sine offset and accumulated rounding included, below 2^52.
constexpr double FAST_PHASE_LIMIT = 2251799813685248.0;  // 2^51

// tri_cos(x) bit for bit for 0 <= x < 2^52, without the floor/ceil calls
// that would dominate the loop. With d = x - nearest whole number (exact),
// |d| is the distance to the closest integer, so 1 - 4|d| is the same real
// number as both of tri_cos's halves (1 - 4f for f = frac(x) < 0.5, 4f - 3
// above), and each side rounds it once.
inline double triangle(double x)
{
    const double nearest = (x + ROUNDING_SHIFT) - ROUNDING_SHIFT;
    return 1.0 - 4.0 * std::fabs(x - nearest);
}

#if defined(__SSE2__)
// triangle() on two phases at once, same operations.
inline __m128d triangle(__m128d x)
{
    const __m128d shift = _mm_set1_pd(ROUNDING_SHIFT);
    const __m128d nearest = _mm_sub_pd(_mm_add_pd(x, shift), shift);
    const __m128d distance = _mm_andnot_pd(_mm_set1_pd(-0.0), _mm_sub_pd(x, nearest));
    return _mm_sub_pd(_mm_set1_pd(1.0), _mm_mul_pd(_mm_set1_pd(4.0), distance));
}
#endif

// Both loops below add the step up and never wrap the phase: the triangles
// reduce it themselves, and wrapping would change every later rounding.

// Steps that keep every phase in [0, 2^52), as every band's step does.
ToneSums serial_sums(const double *window, std::uint64_t length, double step)
{
    double phase = 0.0;
    double c = 0.0;
    double s = 0.0;
    std::uint64_t i = 0;
#if defined(__SSE2__)
    // The phase and both sums are serial chains; only the triangles and the
    // products, which nothing waits on, go two samples at a time.
    for (; i + 2 <= length; i += 2) {
        const double phase_0 = phase;
        phase += step;
        const double phase_1 = phase;
        phase += step;
        const __m128d phases = _mm_set_pd(phase_1, phase_0);
        const __m128d samples = _mm_loadu_pd(window + i);
        const __m128d cos_terms = _mm_mul_pd(triangle(phases), samples);
        const __m128d sin_terms = _mm_mul_pd(
            triangle(_mm_add_pd(phases, _mm_set1_pd(SINE_PHASE_OFFSET))), samples);
        c += _mm_cvtsd_f64(cos_terms);
        s += _mm_cvtsd_f64(sin_terms);
        c += _mm_cvtsd_f64(_mm_unpackhi_pd(cos_terms, cos_terms));
        s += _mm_cvtsd_f64(_mm_unpackhi_pd(sin_terms, sin_terms));
    }
#endif
    for (; i < length; i++) {
        c += triangle(phase) * window[i];
        s += triangle(phase + SINE_PHASE_OFFSET) * window[i];
        phase += step;
    }
    return {c, s};
}

// Any other step: negative, huge or NaN, which no band produces.
ToneSums plain_sums(const double *window, std::uint64_t length, double step)
{
    double phase = 0.0;
    double c = 0.0;
    double s = 0.0;
    for (std::uint64_t i = 0; i < length; i++) {
        c += tri_cos(phase) * window[i];
        s += tri_sin(phase) * window[i];
        phase += step;
    }
    return {c, s};
}

// ---- the fast path ------------------------------------------------------------

// Eight doubles: one AVX-512 register, two AVX2 or four SSE2 ones. The
// compiler lowers the same source to each unit's width in the clones below.
// The clones are chosen by a resolver that runs while the program is loaded,
// before ThreadSanitizer is set up, which its instrumentation would crash.
#if defined(__SANITIZE_THREAD__)
#define VECTOR_CLONES
#else
#define VECTOR_CLONES __attribute__((target_clones("avx512f", "avx2", "default")))
#endif

using Lanes = double __attribute__((vector_size(64)));
using LaneBits = std::int64_t __attribute__((vector_size(64)));
constexpr int LANES = 8;
constexpr std::int64_t MAGNITUDE_BITS = 0x7fffffffffffffff;
constexpr std::int64_t SIGN_BIT = std::numeric_limits<std::int64_t>::min();

// Both triangles of one phase the way QUADRATURE_LANES takes them.
struct Quadrature {
    double cos;
    double sin;
};

inline Quadrature quadrature(double x)
{
    const double nearest = (x + ROUNDING_SHIFT) - ROUNDING_SHIFT;
    const double d = x - nearest;
    const double q = 4.0 * std::fabs(d);
    return {1.0 - q, std::copysign(1.0 - std::fabs(q - 1.0), d)};
}

// Both triangles of eight phases at once, from one distance to the nearest
// whole number d (exact): the cosine is 1 - 4|d| as in triangle(), and the
// sine, a quarter period behind, is sign(d) (1 - |4|d| - 1|): triangle(x +
// 0.75) without rounding x + 0.75 first. A macro, not a function: vectors
// this wide must not cross a call in the default clone.
#define QUADRATURE_LANES(x, cos_out, sin_out)                                                   \
    do {                                                                                        \
        const Lanes nearest_ = ((x) + ROUNDING_SHIFT) - ROUNDING_SHIFT;                         \
        const LaneBits d_ = reinterpret_cast<LaneBits>((x) - nearest_);                         \
        const Lanes q_ = 4.0 * reinterpret_cast<Lanes>(d_ & MAGNITUDE_BITS);                    \
        (cos_out) = 1.0 - q_;                                                                   \
        const LaneBits t_ = reinterpret_cast<LaneBits>(q_ - 1.0) & MAGNITUDE_BITS;              \
        const Lanes s_ = 1.0 - reinterpret_cast<Lanes>(t_);                                     \
        (sin_out) = reinterpret_cast<Lanes>(reinterpret_cast<LaneBits>(s_) | (d_ & SIGN_BIT));  \
    } while (false)

// GCC's per-function contraction; Clang (which builds this only for its lock
// checks) has no such attribute.
#if defined(__clang__)
#define MAY_FUSE
#else
#define MAY_FUSE __attribute__((optimize("fp-contract=fast")))
#endif

// Phase i is i * step, one rounding each, so no lane waits on another and
// there is no running sum to drift. Two sets of accumulators keep two
// multiply-add chains in flight per lane.
// Unlike the literal loop (this file is built without contraction for its
// sake), the fast path may fuse multiplies and adds: it is held to
// tolerances, not to bits.
VECTOR_CLONES MAY_FUSE
ToneSums vector_sums(const double *window, std::uint64_t length, double step)
{
    Lanes index = {0, 1, 2, 3, 4, 5, 6, 7};
    Lanes c0 = {}, s0 = {}, c1 = {}, s1 = {};
    std::uint64_t i = 0;
    for (; i + 2 * LANES <= length; i += 2 * LANES) {
        const Lanes phase_0 = index * step;
        const Lanes phase_1 = (index + LANES) * step;
        Lanes x0, x1, cos_0, sin_0, cos_1, sin_1;
        std::memcpy(&x0, window + i, sizeof x0);
        std::memcpy(&x1, window + i + LANES, sizeof x1);
        QUADRATURE_LANES(phase_0, cos_0, sin_0);
        QUADRATURE_LANES(phase_1, cos_1, sin_1);
        c0 += cos_0 * x0;
        s0 += sin_0 * x0;
        c1 += cos_1 * x1;
        s1 += sin_1 * x1;
        index += 2 * LANES;
    }
    const Lanes c_lanes = c0 + c1;
    const Lanes s_lanes = s0 + s1;
    double c = 0.0;
    double s = 0.0;
    for (int lane = 0; lane < LANES; lane++) {
        c += c_lanes[lane];
        s += s_lanes[lane];
    }
    for (; i < length; i++) {
        const double phase = static_cast<double>(i) * step;
        const Quadrature q = quadrature(phase);
        c += q.cos * window[i];
        s += q.sin * window[i];
    }
    return {c, s};
}

// Steps whose phases stay in [0, 2^52), as every band's step does.
bool fast_phase(double step, std::uint64_t length)
{
    return step >= 0.0 && step * static_cast<double>(length) < FAST_PHASE_LIMIT;
}

}  // namespace

double level_of_sums(ToneSums sums, std::uint64_t length, double *out)
{
    const double level = (std::fabs(sums.c) + std::fabs(sums.s)) / (static_cast<double>(length) * 0.5);
    *out = std::max(1.0, level);
    return level;
}

ToneSums tone_sums(const double *window, std::uint64_t length, double step)
{
    return fast_phase(step, length) ? vector_sums(window, length, step) : plain_sums(window, length, step);
}

ToneSums tone_sums_literal(const double *window, std::uint64_t length, double step)
{
    return fast_phase(step, length) ? serial_sums(window, length, step) : plain_sums(window, length, step);
}

double tone_level(const double *window, std::uint64_t length, double *out, double step)
{
    return level_of_sums(tone_sums(window, length, step), length, out);
}

double tone_level_literal(const double *window, std::uint64_t length, double *out, double step)
{
    return level_of_sums(tone_sums_literal(window, length, step), length, out);
}

// ---- whole quarter periods ---------------------------------------------------

namespace {

// Samples per block of running sums: weights below 1024 keep each weighted
// sum within ten bits of the plain one.
constexpr std::uint64_t MOMENT_BLOCK = 1024;
// Samples a quarter period from which whole quarters cost less than the fast
// path's samples (measured with tone_detector_bench).
constexpr double QUARTER_SAMPLES_MIN = 16.0;
// Windows up to this many samples (1.5 MiB of running sums): beyond it the
// sums no longer stay in the cache beside the window, and reading them costs
// about as much as the samples they spare, or more (pipeline_bench: at 48000
// Hz a fifth less tone time at 98304 samples, even at 262144 and 393216,
// behind at 768000; at 8000 Hz behind at 128000).
constexpr std::uint64_t QUARTER_WINDOW_MAX = 98304;

// Over quarter Q of a period both triangles are a + b * f, f the phase's
// fraction of the period.
struct Line {
    double a;
    double b;
};
constexpr Line COSINE_LINES[4] = {{1.0, -4.0}, {1.0, -4.0}, {-3.0, 4.0}, {-3.0, 4.0}};
constexpr Line SINE_LINES[4] = {{0.0, 4.0}, {2.0, -4.0}, {2.0, -4.0}, {-4.0, 4.0}};

}  // namespace

void ToneWindow::prepare(const double *samples, std::uint64_t length)
{
    samples_ = samples;
    length_ = length;
    const std::uint64_t blocks = (length + MOMENT_BLOCK - 1) / MOMENT_BLOCK;
    if (length <= QUARTER_WINDOW_MAX && running_.size() < blocks * (MOMENT_BLOCK + 1))
        running_.resize(blocks * (MOMENT_BLOCK + 1));
    ready_from_ = blocks;
}

// The running sums of the blocks from first's on that are not yet made:
// probes take the newest samples, so the oldest blocks may never be needed.
VECTOR_CLONES
void ToneWindow::make_ready(std::uint64_t first) const
{
    std::uint64_t block = first / MOMENT_BLOCK;
    const std::uint64_t whole = length_ / MOMENT_BLOCK;  // blocks of MOMENT_BLOCK samples
    // Up to four whole blocks side by side, each running sum a serial chain;
    // a last, shorter block alone.
    while (block < ready_from_) {
        const std::uint64_t whole_end = std::min(ready_from_, whole);
        const auto side = static_cast<int>(block < whole_end ? std::min<std::uint64_t>(4, whole_end - block) : 1);
        const std::uint64_t count = std::min(MOMENT_BLOCK, length_ - block * MOMENT_BLOCK);
        const double *x = samples_ + block * MOMENT_BLOCK;
        Moments *run = running_.data() + block * (MOMENT_BLOCK + 1);
        double s[4] = {};
        double w[4] = {};
        for (int k = 0; k < side; k++)
            run[k * (MOMENT_BLOCK + 1)] = {0.0, 0.0};
        for (std::uint64_t j = 0; j < count; j++) {
            const double place = static_cast<double>(j);
            for (int k = 0; k < side; k++) {
                const double v = x[k * MOMENT_BLOCK + j];
                s[k] += v;
                w[k] += place * v;
                run[k * (MOMENT_BLOCK + 1) + j + 1] = {s[k], w[k]};
            }
        }
        block += static_cast<std::uint64_t>(side);
    }
    ready_from_ = std::min(ready_from_, first / MOMENT_BLOCK);
}

ToneWindow::Moments ToneWindow::moments(std::uint64_t first, std::uint64_t end) const
{
    Moments m{0.0, 0.0};
    for (std::uint64_t at = first; at < end;) {
        const std::uint64_t block = at / MOMENT_BLOCK;
        const std::uint64_t start = block * MOMENT_BLOCK;
        const std::uint64_t from = at - start;
        const std::uint64_t to = std::min(end - start, MOMENT_BLOCK);
        const Moments *run = running_.data() + block * (MOMENT_BLOCK + 1);
        const double part = run[to].sum - run[from].sum;
        // Weighted from this piece's first sample, then from the segment's.
        const double piece = (run[to].weighted - run[from].weighted) - static_cast<double>(from) * part;
        m.weighted += piece + static_cast<double>(at - first) * part;
        m.sum += part;
        at = start + to;
    }
    return m;
}

// No contraction here, unlike the fast path: what may fuse would depend on
// what the optimiser inlines, and the rows orvel-analyze prints must not
// depend on the build. The multiply-adds are written out instead.
VECTOR_CLONES
ToneSums ToneWindow::quarter_sums(std::uint64_t first, std::uint64_t length, double step) const
{
    constexpr auto BLOCK = static_cast<std::int64_t>(MOMENT_BLOCK);
    const double quarter = 0.25 / step;
    const auto count = static_cast<std::int64_t>(length);
    const auto origin = static_cast<std::int64_t>(first);
    // The segment's first sample, its block, and the running sums there.
    std::int64_t begin = 0;
    std::int64_t block = origin / BLOCK;
    std::int64_t in_block = origin - block * BLOCK;
    const Moments *run = running_.data() + block * (BLOCK + 1);
    double sum_begin = run[in_block].sum;
    double weighted_begin = run[in_block].weighted;
    // Quarter q - 1 ends after the last sample at or before q * quarter (a
    // sample right on it lies on both lines): its sums, and the phase's
    // fraction of the period at its first sample.
    struct Segment {
        double sum;
        double weighted;
        double fraction;
    };
    const auto segment = [&](std::int64_t q) {
        const std::int64_t end = std::min(static_cast<std::int64_t>(static_cast<double>(q) * quarter) + 1, count);
        const std::int64_t end_in_block = origin + end - block * BLOCK;
        Segment out;
        out.fraction = std::fma(static_cast<double>(begin), step, -static_cast<double>((q - 1) >> 2));
        if (end_in_block <= BLOCK) {
            const double sum_end = run[end_in_block].sum;
            const double weighted_end = run[end_in_block].weighted;
            out.sum = sum_end - sum_begin;
            out.weighted = std::fma(-static_cast<double>(in_block), out.sum, weighted_end - weighted_begin);
            if (end_in_block < BLOCK) {
                sum_begin = sum_end;
                weighted_begin = weighted_end;
                in_block = end_in_block;
            } else {
                block++;
                in_block = 0;
                run += BLOCK + 1;
                sum_begin = 0.0;
                weighted_begin = 0.0;
            }
        } else {
            const Moments m = moments(static_cast<std::uint64_t>(origin + begin), static_cast<std::uint64_t>(origin + end));
            out.sum = m.sum;
            out.weighted = m.weighted;
            block = (origin + end) / BLOCK;
            in_block = origin + end - block * BLOCK;
            run = running_.data() + block * (BLOCK + 1);
            sum_begin = end < count ? run[in_block].sum : 0.0;
            weighted_begin = end < count ? run[in_block].weighted : 0.0;
        }
        begin = end;
        return out;
    };
    // A pair of sums for each quarter of the period, kept apart: four short
    // chains, not one long one, and each quarter's lines are constants.
    double c[4] = {};
    double s[4] = {};
    const auto add = [&](int k, const Segment &g) {
        const Line cosine = COSINE_LINES[k];
        const Line sine = SINE_LINES[k];
        c[k] = std::fma(std::fma(cosine.b, g.fraction, cosine.a), g.sum, std::fma(cosine.b * step, g.weighted, c[k]));
        s[k] = std::fma(std::fma(sine.b, g.fraction, sine.a), g.sum, std::fma(sine.b * step, g.weighted, s[k]));
    };
    for (std::int64_t q = 1; begin < count; q += 4) {
        add(0, segment(q));
        if (begin == count)
            break;
        add(1, segment(q + 1));
        if (begin == count)
            break;
        add(2, segment(q + 2));
        if (begin == count)
            break;
        add(3, segment(q + 3));
    }
    return {(c[0] + c[1]) + (c[2] + c[3]), (s[0] + s[1]) + (s[2] + s[3])};
}

ToneSums ToneWindow::newest_sums(std::uint64_t length, double step) const
{
    const std::uint64_t first = length_ - length;
    if (length_ <= QUARTER_WINDOW_MAX && fast_phase(step, length) && step > 0.0 && 0.25 / step >= QUARTER_SAMPLES_MIN) {
        make_ready(first);
        return quarter_sums(first, length, step);
    }
    return tone_sums(samples_ + first, length, step);
}
