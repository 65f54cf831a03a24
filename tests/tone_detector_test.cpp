#include "engine/tone_detector.h"

#include "engine/engine.h"
#include "engine/kernels.h"
#include "engine/tone_level.h"
#include "engine/work_queue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <numbers>
#include <random>
#include <vector>

namespace {

constexpr int RATE = 16000;
constexpr std::uint64_t WINDOW = 7168;    // half a second at RATE
constexpr std::uint64_t A5_BAND = 15360;  // 440 Hz
constexpr std::uint64_t A5_GROUP = A5_BAND / BANDS_PER_GROUP;
constexpr double AMPLITUDE = 1e6;
// A cosine on a band measures its amplitude times the triangle wave's
// fundamental, 8 / pi^2.
constexpr double TRIANGLE_FUNDAMENTAL = 8.0 / (std::numbers::pi * std::numbers::pi);
constexpr double SENTINEL = -12345.0;
const double NaN = std::numeric_limits<double>::quiet_NaN();

// The 16000 Hz engine with its default window and band table, not started:
// these tests call the detector directly, not through the queues.
EngineConfig engine_at_rate()
{
    return engine_config(RATE);
}

void fill_cosine(double *samples, std::uint64_t count, double hz)
{
    for (std::uint64_t i = 0; i < count; i++)
        samples[i] = AMPLITUDE * std::cos(2.0 * std::numbers::pi * hz * double(i) / RATE);
}

std::vector<double> noise(std::uint64_t count, unsigned seed)
{
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> dist(-AMPLITUDE, AMPLITUDE);
    std::vector<double> samples(count);
    for (double &v : samples)
        v = dist(rng);
    return samples;
}

double stored_level(const double *window, double step)
{
    double level = SENTINEL;
    tone_level(window, WINDOW, &level, step);
    return level;
}

// tone_level as written out in the plain loop that the fast path replaces.
double plain_level(const double *window, std::uint64_t length, double step)
{
    double phase = 0.0, c = 0.0, s = 0.0;
    for (std::uint64_t i = 0; i < length; i++) {
        c += tri_cos(phase) * window[i];
        s += tri_sin(phase) * window[i];
        phase += step;
    }
    return (std::fabs(c) + std::fabs(s)) / (double(length) * 0.5);
}

// tri_cos of a phase held exactly: 1 - 4 times its distance to the nearest
// whole number.
long double exact_triangle(long double phase)
{
    return 1.0L - 4.0L * std::fabs(phase - std::nearbyint(phase));
}

bool same_double(double a, double b)
{
    return a == b || (std::isnan(a) && std::isnan(b));
}

}  // namespace

TEST(ToneLevel, SilenceMeasuresZeroStoredAsOne)
{
    const std::vector<double> silence(WINDOW, 0.0);
    for (auto level : {tone_level, tone_level_literal}) {
        double stored = SENTINEL;
        EXPECT_EQ(level(silence.data(), WINDOW, &stored, 0.0275), 0.0);
        EXPECT_EQ(stored, 1.0);
    }
}

// The literal path, bit for bit over a whole window: exact multiples of 1/8
// land on the triangles' corners, the last steps leave the two-at-a-time
// loop, and the odd window takes the one-sample tail. NaN after the window
// would show in the level if anything past it were read.
TEST(ToneLevel, MatchesPlainTriangleLoop)
{
    const double steps[] = {
        0.0, 0.125, 0.25, 0.5, 0.0275, 0.3719, 1e-300, 0.99999999, 3.3333, 12345.678,
        2251799813685248.0 / WINDOW * (1 - 1e-9),  // phases right under 2^51
        -0.0275, 2251799813685248.0, std::numeric_limits<double>::infinity(), NaN,
    };
    for (std::uint64_t length : {WINDOW, std::uint64_t{1025}}) {
        std::vector<double> window = noise(length + 8, 3);
        for (std::uint64_t i = length; i < window.size(); i++)
            window[i] = NaN;
        for (double step : steps) {
            SCOPED_TRACE(testing::Message() << "length " << length << ", step " << step);
            const double expected = plain_level(window.data(), length, step);
            double stored = SENTINEL;
            const double level = tone_level_literal(window.data(), length, &stored, step);
            EXPECT_PRED2(same_double, level, expected);
            EXPECT_EQ(stored, std::isnan(expected) ? 1.0 : std::max(1.0, expected));
        }
    }
}

// In a long window one wrong last bit of a triangle drowns in the sum, so an
// impulse reads the triangles at single phases: {0, 1} at the second phase of
// a pair, {0, 0, 1} with half the step at the tail's phase.
TEST(ToneLevel, ImpulseMatchesTrianglesAtEachPhase)
{
    std::vector<double> phases = {
        0.125, 0.25, 0.375, 0.5, 0.625, 0.75, 0.875, 1.0, 1.5, 1e-300, 1125899906842623.75,
    };
    for (double corner : {0.25, 0.5, 0.75, 1.0, 1000.5}) {
        phases.push_back(std::nextafter(corner, 0.0));
        phases.push_back(std::nextafter(corner, 2 * corner));
    }
    std::mt19937 rng(9);
    std::uniform_real_distribution<double> fraction(0.0, 1.0);
    std::uniform_real_distribution<double> large(0.0, 1e12);
    for (int i = 0; i < 20000; i++) {
        phases.push_back(fraction(rng));
        phases.push_back(large(rng));
    }

    const double pair_impulse[] = {0.0, 1.0};
    const double tail_impulse[] = {0.0, 0.0, 1.0};
    double stored;  // clamped to 1.0, which would hide the last bits
    for (double phase : phases) {
        ASSERT_EQ(tone_level_literal(pair_impulse, 2, &stored, phase), plain_level(pair_impulse, 2, phase))
            << "phase " << phase;
        ASSERT_EQ(tone_level_literal(tail_impulse, 3, &stored, phase / 2),
                  plain_level(tail_impulse, 3, phase / 2))
            << "phase " << phase;
    }
}

// The fast path reads each phase as i * step: an impulse at sample i shows
// its triangles at exactly that phase, in every lane of both blocks and in
// the tail, and a NaN past the end shows any read beyond it. The reference
// is the exact triangle of that double phase (long double holds phase +
// 0.75 exactly); the fast path is within a few roundings of the result,
// where a phase summed step by step would be off by many ulps of the phase.
TEST(ToneLevel, FastPathReadsEachSampleAtPhaseITimesStep)
{
    constexpr std::uint64_t length = 43;   // two blocks of 16, then 11 in the tail
    const double steps[] = {0.0275, 0.125, 0.3719, 0.49999, 1e-9, 1234.5678};
    std::vector<double> window(length + 8, NaN);
    for (double step : steps) {
        for (std::uint64_t at = 0; at < length; at++) {
            std::fill_n(window.begin(), length, 0.0);
            window[at] = 1.0;
            const double phase = double(at) * step;
            const double expected = static_cast<double>(
                (std::fabs(exact_triangle(phase)) + std::fabs(exact_triangle(phase + 0.75L))) / (length * 0.5L));
            double stored;
            ASSERT_NEAR(tone_level(window.data(), length, &stored, step), expected,
                        4 * std::numeric_limits<double>::epsilon() / (length * 0.5))
                << "step " << step << ", sample " << at;
        }
    }
}

namespace {

// Signals of every kind the analysis meets, at full length.
std::vector<double> conformance_signal(int kind, std::uint64_t length, int rate)
{
    std::vector<double> x(length, 0.0);
    auto add_cosine = [&](double hz, double amplitude) {
        for (std::uint64_t i = 0; i < length; i++)
            x[i] += amplitude * std::cos(2.0 * std::numbers::pi * hz * double(i) / rate + 0.3);
    };
    switch (kind) {
    case 0:   // noise
        x = noise(length, 11);
        break;
    case 1:   // a tone on the grid
        add_cosine(440.0, AMPLITUDE);
        break;
    case 2:   // a tone between sub-steps, 23 cents sharp
        add_cosine(445.88, AMPLITUDE);
        break;
    case 3: {  // a chord in noise
        x = noise(length, 12);
        for (double hz : {261.63, 329.63, 392.0})
            add_cosine(hz, 0.5 * AMPLITUDE);
        break;
    }
    case 4:   // silence
        break;
    }
    return x;
}

const char *const SIGNAL_NAMES[] = {"noise", "440 Hz", "445.88 Hz", "chord in noise", "silence"};

// The tone level worked out in long double (64-bit mantissa): phase i * step,
// triangles and sums all well below the last bit of a double.
double exact_level(const std::vector<double> &x, double step)
{
    // Adding and taking away 2^63 rounds a non-negative long double to a whole number.
    const long double shift = 9223372036854775808.0L;
    auto distance = [&](long double phase) { return std::fabs(phase - ((phase + shift) - shift)); };
    long double c = 0.0L, s = 0.0L;
    for (std::uint64_t i = 0; i < x.size(); i++) {
        const long double phase = static_cast<long double>(i) * step;
        const long double sine_phase = phase + 0.75L;
        c += (1.0L - 4.0L * distance(phase)) * x[i];
        s += (1.0L - 4.0L * distance(sine_phase)) * x[i];
    }
    return static_cast<double>((std::fabs(c) + std::fabs(s)) / (static_cast<long double>(x.size()) * 0.5L));
}

}  // namespace

// On every kind of signal, at the window lengths the rates use (their
// defaults and the 16 s maximum at 48000 Hz) and at bands spread over the
// grid: the fast path within 1e-9 of the exact level, relative, and within
// 1e-6 of the literal loop, give or take the literal loop's own error. That
// error grows with the window as its running phase drifts from i * step:
// below 1e-7 at the default windows, up to about 2e-5 for noise at 16 s.
// The whole-quarter sums of a prepared window are held to the fast path's
// bound, over its newest part and then over the whole window.
TEST(ToneLevel, FastPathFollowsTheLiteralLoop)
{
    const struct { int rate; std::uint64_t length; std::uint64_t band_stride; } windows[] = {
        {8000, 3072, 397}, {16000, 7168, 397}, {48000, 24576, 397}, {48000, 786432, 3997}, {16000, 1025, 397},
    };
    double worst_fast = 0.0;
    double worst_literal = 0.0;
    double worst_quarters = 0.0;
    for (const auto &w : windows) {
        for (int kind = 0; kind < 5; kind++) {
            const std::vector<double> x = conformance_signal(kind, w.length, w.rate);
            ToneWindow prepared;   // prepared for each band below
            const std::uint64_t part = w.length / 3 + 1;
            const std::vector<double> newest(x.end() - static_cast<std::ptrdiff_t>(part), x.end());
            // Bands from A0 up, short of half the rate.
            for (std::uint64_t band = 0;; band += w.band_stride) {
                const double step = 13.75 * std::pow(2.0, double(band) / 3072.0) / w.rate;
                if (step >= 0.5)
                    break;
                SCOPED_TRACE(testing::Message() << SIGNAL_NAMES[kind] << ", " << w.rate << " Hz, length "
                                                << w.length << ", band " << band);
                double stored;
                const double literal = tone_level_literal(x.data(), w.length, &stored, step);
                const double fast = tone_level(x.data(), w.length, &stored, step);
                const double exact = exact_level(x, step);
                // Far from a pure tone its level cancels to almost nothing: there the
                // rounding of the sums, relative to the amplitude, is what counts.
                const double floor = 1e-12 * AMPLITUDE;
                ASSERT_LE(std::fabs(fast - exact), 1e-9 * exact + floor);
                // Prepared afresh, so that the newest part makes its sums first
                // and the whole window the rest.
                prepared.prepare(x.data(), w.length);
                const double newest_exact = exact_level(newest, step);
                const double newest_quarters = level_of_sums(prepared.newest_sums(part, step), part, &stored);
                ASSERT_LE(std::fabs(newest_quarters - newest_exact), 1e-9 * newest_exact + floor) << "newest " << part;
                const double quarters = level_of_sums(prepared.newest_sums(w.length, step), w.length, &stored);
                ASSERT_LE(std::fabs(quarters - exact), 1e-9 * exact + floor);
                ASSERT_LE(std::fabs(fast - literal), 1e-6 * literal + std::fabs(literal - exact) + floor);
                if (exact > floor) {
                    worst_fast = std::max(worst_fast, std::fabs(fast - exact) / exact);
                    worst_literal = std::max(worst_literal, std::fabs(literal - exact) / exact);
                    worst_quarters = std::max(worst_quarters, std::fabs(quarters - exact) / exact);
                }
            }
        }
    }
    std::printf("largest error relative to the exact level: fast %.3g, literal %.3g, quarters %.3g\n", worst_fast,
                worst_literal, worst_quarters);
}

TEST(ToneLevel, CosineOnABandStandsOutFromTheSemitonesBeside)
{
    Engine engine(engine_at_rate());
    std::vector<double> window(WINDOW);
    fill_cosine(window.data(), WINDOW, 440.0);

    const double on_band = stored_level(window.data(), engine.band_step(A5_BAND));
    EXPECT_NEAR(on_band, AMPLITUDE * TRIANGLE_FUNDAMENTAL, 0.01 * AMPLITUDE);
    for (std::uint64_t band : {A5_BAND - BANDS_PER_GROUP, A5_BAND + BANDS_PER_GROUP})
        EXPECT_LT(stored_level(window.data(), engine.band_step(band)), 0.1 * on_band) << "band " << band;
}

TEST(ToneLevel, TuningUpASemitoneMeasuresTheBandAbove)
{
    Engine engine(engine_at_rate());
    const std::vector<double> window = noise(WINDOW, 5);
    for (std::uint64_t band : {std::uint64_t{0}, A5_BAND, engine.band_count() - BANDS_PER_GROUP - 1}) {
        SCOPED_TRACE(band);
        engine.set_fine_tuning(0);
        const double plain = stored_level(window.data(), engine.band_step(band));
        const double above = stored_level(window.data(), engine.band_step(band + BANDS_PER_GROUP));
        engine.set_fine_tuning(1000);  // a semitone: 2^(1/12)
        const double tuned = stored_level(window.data(), engine.band_step(band));

        EXPECT_NEAR(tuned, above, 1e-9 * above);
        EXPECT_GT(std::fabs(plain - above), 1e-3 * above);  // else the check above says nothing
    }
}

namespace {

}  // namespace

namespace {

// A job of the 16000 Hz engine holding a 440 Hz cosine, every group's level
// set to SENTINEL.
AnalysisJob *cosine_job(Engine &engine, std::uint64_t pass)
{
    AnalysisJob *job = engine.new_job();
    fill_cosine(job->samples, engine.input_history_length(), 440.0);
    for (std::uint64_t g = 0; g < engine.group_count(); g++)
        job->semitone_level[g] = SENTINEL;
    job->pass = pass;
    return job;
}

}  // namespace

TEST(DetectTask, FinishedJobPassesThroughUntouched)
{
    Engine engine(engine_at_rate());
    for (std::uint64_t pass : {2, 3, 1000}) {
        SCOPED_TRACE(pass);
        AnalysisJob *job = cosine_job(engine, pass);
        BandTask task{nullptr, nullptr, A5_BAND, job};
        engine.detect_task(&task);
        EXPECT_EQ(task.band, A5_BAND);
        EXPECT_EQ(task.job, job);
        for (std::uint64_t g = 0; g < engine.group_count(); g++)
            ASSERT_EQ(job->semitone_level[g], SENTINEL) << "group " << g;
        engine.free_job(job);
    }
}

TEST(DetectTask, CoarsePassMeasuresItsOwnGroupOnly)
{
    Engine engine(engine_at_rate());
    AnalysisJob *job = cosine_job(engine, 0);
    BandTask task{nullptr, nullptr, A5_BAND, job};
    engine.detect_task(&task);

    EXPECT_EQ(task.band, A5_BAND);
    EXPECT_EQ(job->semitone_level[A5_GROUP], stored_level(job->samples, engine.band_step(A5_BAND)));
    EXPECT_NEAR(job->semitone_level[A5_GROUP], AMPLITUDE * TRIANGLE_FUNDAMENTAL, 0.01 * AMPLITUDE);
    for (std::uint64_t g = 0; g < engine.group_count(); g++) {
        if (g != A5_GROUP) {
            ASSERT_EQ(job->semitone_level[g], SENTINEL) << "group " << g;
        }
    }
    engine.free_job(job);
}

// Silence measures 1.0 everywhere, so every candidate ties and the search
// climbs to the top sub-step; the last group checks the top of the table.
TEST(DetectTask, RefiningSilenceEndsOnTheTopSubStep)
{
    Engine engine(engine_at_rate());
    AnalysisJob *job = engine.new_job();
    job->pass = 1;
    for (std::uint64_t g : {std::uint64_t{0}, A5_GROUP, engine.group_count() - 1}) {
        SCOPED_TRACE(g);
        job->semitone_level[g] = 1.0;
        BandTask task{nullptr, nullptr, g * BANDS_PER_GROUP, job};
        engine.detect_task(&task);
        EXPECT_EQ(task.band, g * BANDS_PER_GROUP + 255);
        EXPECT_EQ(job->semitone_level[g], 1.0);
    }
    engine.free_job(job);
}

// A cosine half a semitone above A5: the coarse pass sees little of it; the
// refinement lands inside its main lobe and measures it in full.
TEST(DetectTask, RefiningFindsAToneBetweenSemitones)
{
    Engine engine(engine_at_rate());
    const std::uint64_t tone_band = A5_BAND + 128;
    // Well inside the main lobe, which spans about 22 sub-steps either side
    // of the tone at this window.
    constexpr std::uint64_t near = 16;
    AnalysisJob *job = engine.new_job();
    fill_cosine(job->samples, engine.input_history_length(), engine.band_freq()[tone_band]);
    BandTask task{nullptr, nullptr, A5_BAND, job};
    engine.detect_task(&task);
    const double coarse = job->semitone_level[A5_GROUP];

    job->pass = 1;
    engine.detect_task(&task);
    EXPECT_GE(task.band, tone_band - near);
    EXPECT_LE(task.band, tone_band + near);
    EXPECT_GT(job->semitone_level[A5_GROUP], 5 * coarse);
    EXPECT_GT(job->semitone_level[A5_GROUP], 0.99 * AMPLITUDE * TRIANGLE_FUNDAMENTAL);
    engine.free_job(job);
}
