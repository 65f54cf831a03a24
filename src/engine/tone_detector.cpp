#include "engine/tone_detector.h"

#include "engine/engine_state.h"
#include "engine/kernels.h"

#include <QThread>

#include <algorithm>
#include <cmath>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// AnalysisJob::pass values this stage acts on; any later pass is finished.
constexpr std::uint64_t COARSE_PASS = 0;
constexpr std::uint64_t REFINE_PASS = 1;

// tri_sin(x) is tri_cos(x + this): the sine lags a quarter period behind.
constexpr double SINE_PHASE_OFFSET = 0.75;
// Adding and taking away 2^52 rounds a double in [0, 2^52) to the nearest
// whole number (IEEE double arithmetic; not valid under -ffast-math).
constexpr double ROUNDING_SHIFT = 4503599627370496.0;  // 2^52
// A call whose step times window length stays below 2^51 keeps every phase,
// sine offset and accumulated rounding included, below 2^52.
constexpr double FAST_PHASE_LIMIT = 2251799813685248.0;  // 2^51

struct QuadratureSums {
    double c;  // sum of tri_cos(phase) * sample
    double s;  // sum of tri_sin(phase) * sample
};

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
QuadratureSums fast_sums(const double *window, std::uint64_t length, double step)
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
QuadratureSums plain_sums(const double *window, std::uint64_t length, double step)
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

// The group a refinement task works on, for measure_sub_step.
struct RefinedGroup {
    const double *samples;     // the job's window
    std::uint64_t first_band;  // lowest band of the group
};

double measure_sub_step(std::uint64_t sub_step, void *context)
{
    const auto *group = static_cast<const RefinedGroup *>(context);
    double level;
    tone_level(group->samples, window_size, &level, band_step(group->first_band + sub_step));
    return level;
}

}  // namespace

double tone_level(const double *window, std::uint64_t length, double *out, double step)
{
    const auto w = static_cast<double>(length);
    const QuadratureSums sums = step >= 0.0 && step * w < FAST_PHASE_LIMIT
                                    ? fast_sums(window, length, step)
                                    : plain_sums(window, length, step);
    const double level = (std::fabs(sums.c) + std::fabs(sums.s)) / (w * 0.5);
    *out = std::max(1.0, level);
    return level;
}

double band_step(std::uint64_t band)
{
    return band_freq[band] * tuning_factor.load(std::memory_order_relaxed) /
           static_cast<double>(sample_rate);
}

RefinedBand refine_sub_step(double coarse_level, SubStepLevel measure, void *context)
{
    RefinedBand best{0, coarse_level};
    for (std::uint64_t d = BANDS_PER_GROUP / 2; d != 0; d /= 2) {
        const std::uint64_t candidate = best.sub_step | d;
        const double level = measure(candidate, context);
        // Only a strictly stronger best holds its place, so ties go up.
        if (!(best.level > level))
            best = {candidate, level};
    }
    return best;
}

void detect_task(BandTask *task)
{
    AnalysisJob *job = task->job;
    const std::uint64_t band = task->band;
    double *level = &job->semitone_level[band / BANDS_PER_GROUP];
    if (job->pass == COARSE_PASS) {
        tone_level(job->samples, window_size, level, band_step(band));
    } else if (job->pass == REFINE_PASS) {
        RefinedGroup group{job->samples, band};
        const RefinedBand refined = refine_sub_step(*level, measure_sub_step, &group);
        *level = refined.level;
        task->band = band + refined.sub_step;
    }
}

void *tone_detector(void *)
{
    lower_analysis_thread_priority();
    for (;;) {
        BandTask *task = pop_tone_task();
        detect_task(task);
        push_collect_task(task);
    }
}
