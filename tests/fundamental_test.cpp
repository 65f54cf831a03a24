// The fundamental read-out, and the note read-out beside it, on one job's
// window analysed by the stage functions of an engine that is not started.
#include "engine/engine.h"
#include "engine/fundamental.h"
#include "engine/pitch.h"
#include "support/offline_job.h"
#include "support/white_noise.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <numbers>
#include <random>
#include <vector>

namespace {

constexpr int RATE = 16000;
constexpr double AMPLITUDE = 0.25 * 2147483392.0;  // a quarter of full scale in ring units
constexpr double TWO_PI = 2.0 * std::numbers::pi;

// One partial: frequency in Hz and amplitude relative to AMPLITUDE.
struct Partial {
    double hz;
    double gain;
};

std::vector<double> partials(std::uint64_t length, const std::vector<Partial> &list, double phase = 0.0)
{
    std::vector<double> w(length, 0.0);
    for (std::uint64_t i = 0; i < length; i++) {
        for (std::size_t k = 0; k < list.size(); k++)
            w[i] += AMPLITUDE * list[k].gain * std::cos(TWO_PI * list[k].hz * double(i) / RATE + phase * double(k + 1));
    }
    return w;
}

// Partials k = first..last of f0, each 1/k as strong, stretched like a piano
// string's by sqrt(1 + b k^2).
std::vector<Partial> harmonic(double f0, int first, int last, double b = 0.0)
{
    std::vector<Partial> list;
    for (int k = first; k <= last; k++)
        list.push_back({k * f0 * std::sqrt(1.0 + b * k * k), 1.0 / k});
    return list;
}

double cents(double hz, double reference)
{
    return 1200.0 * std::log2(hz / reference);
}

double midi_hz(int note)
{
    return 440.0 * std::exp2((note - 69) / 12.0);
}

// The engine at RATE with its default window, never started.
class Fundamental : public ::testing::Test {
protected:
    std::vector<double> partials(const std::vector<Partial> &list, double phase = 0.0) const
    {
        return ::partials(engine.window_size(), list, phase);
    }
    OfflineRow analyse(const std::vector<double> &w) { return analyse_window(engine, w.data()); }

    Engine engine{engine_config(RATE)};
};

}  // namespace

// Expected by hand: a missing or weak fundamental still names the note; a
// stretched string reads on its own lowest partial; of two notes the lower,
// louder one; vibrato its centre. `within` is in cents.
TEST_F(Fundamental, SyntheticToneTable)
{
    struct Case {
        const char *name;
        std::function<std::vector<double>()> window;
        double expected_hz;
        double within;
    };
    const double e2 = midi_hz(40), a2 = midi_hz(45), c4 = midi_hz(60), g3 = midi_hz(55);
    const Case cases[] = {
        {"pure A5", [&] { return partials({{440.0, 1.0}}); }, 440.0, 0.3},
        {"missing fundamental, E2 partials 2..8", [&] { return partials(harmonic(e2, 2, 8)); }, e2, 5.0},
        {"missing fundamental, A2 partials 3..7", [&] { return partials(harmonic(a2, 3, 7)); }, a2, 5.0},
        {"weak fundamental under a loud octave", [&] {
             auto list = harmonic(g3, 1, 6);
             list[0].gain = 0.05;
             return partials(list);
         }, g3, 1.0},
        // One partial in a formant, the odd ones below it still clear: the
        // levels of a rendered guitar's low E and a choir's C3 (partial 1
        // first). Summed as they are, the loud one named the octave or two
        // above.
        {"loud second partial over a weak fundamental, E2", [&] {
             const double gains[] = {0.1, 1.0, 0.28, 0.11, 0.036, 0.05, 0.03, 0.05};
             std::vector<Partial> list;
             for (int k = 1; k <= 8; k++)
                 list.push_back({k * e2, gains[k - 1]});
             return partials(list);
         }, e2, 1.0},
        {"loud fourth partial, C3", [&] {
             const double gains[] = {0.06, 0.18, 0.27, 1.0, 0.25, 0.18, 0.14, 0.15};
             std::vector<Partial> list;
             for (int k = 1; k <= 8; k++)
                 list.push_back({k * c4 / 2.0, gains[k - 1]});
             return partials(list);
         }, c4 / 2.0, 1.0},
        // The other partials' side lobes pull a low peak by a cent or so.
        {"piano-like stretched partials, A2", [&] { return partials(harmonic(a2, 1, 10, 0.0004)); }, a2 * std::sqrt(1.0004), 2.0},
        {"two notes, C4 loud with a quiet E5", [&] {
             auto list = harmonic(c4, 1, 5);
             list.push_back({midi_hz(76), 0.3});
             return partials(list);
         }, c4, 1.0},
        {"vibrato, 5.5 Hz at 20 cents around 330 Hz", [&] {
             std::vector<double> w(engine.window_size());
             double phase = 0.0;
             for (std::uint64_t i = 0; i < engine.window_size(); i++) {
                 const double hz = 330.0 * std::exp2(0.2 / 12.0 * std::sin(TWO_PI * 5.5 * double(i) / RATE));
                 w[i] = AMPLITUDE * std::cos(phase);
                 phase += TWO_PI * hz / RATE;
             }
             return w;
         }, 330.0, 20.0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<double> w = c.window();
        const FundamentalReading r = analyse(w).fundamental;
        ASSERT_TRUE(r.found);
        EXPECT_NEAR(cents(r.hz, c.expected_hz), 0.0, c.within);
        EXPECT_EQ(r.note, std::lround(69 + 12 * std::log2(c.expected_hz / 440.0)));
    }
}

TEST_F(Fundamental, SilenceAndNoiseHaveNone)
{
    const std::vector<double> silence(engine.window_size(), 0.0);
    EXPECT_FALSE(analyse(silence).fundamental.found);
    for (std::uint64_t start : {0ull, 1000000ull, 77777777ull}) {
        std::vector<double> noise(engine.window_size());
        for (std::uint64_t i = 0; i < engine.window_size(); i++)
            noise[i] = 2.0 * AMPLITUDE * white_noise(start + i);
        EXPECT_FALSE(analyse(noise).fundamental.found) << "noise from frame " << start;
    }
}

// Sines from 55 Hz to 0.4 times the rate, over the grid and between its
// pitches, at several phases: neither read-out may be more than 50 cents off
// (the note read-out named a twelfth or more below, or a side lobe, before
// its choice of group took short probes), and the fundamental holds a tight
// median.
TEST_F(Fundamental, SineSweepHasNoGrossError)
{
    std::mt19937 rng(21);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const double top = 0.4 * RATE;
    std::vector<double> fundamental_errors;
    constexpr int SINES = 300;
    for (int t = 0; t < SINES; t++) {
        // Evenly over the octaves, every 1/16 semitone of offset met often.
        const double hz = 55.0 * std::pow(top / 55.0, (t + unit(rng)) / SINES);
        const double phase = TWO_PI * unit(rng);
        SCOPED_TRACE(hz);
        const std::vector<double> w = partials({{hz, 1.0}}, phase);
        const OfflineRow row = analyse(w);
        const double readout_hz = engine.band_freq()[row.readout_band];
        ASSERT_LE(std::fabs(cents(readout_hz, hz)), 50.0);
        ASSERT_TRUE(row.fundamental.found);
        ASSERT_LE(std::fabs(cents(row.fundamental.hz, hz)), 50.0);
        fundamental_errors.push_back(std::fabs(cents(row.fundamental.hz, hz)));
    }
    std::nth_element(fundamental_errors.begin(), fundamental_errors.begin() + SINES / 2, fundamental_errors.end());
    EXPECT_LE(fundamental_errors[SINES / 2], 0.3);
}

TEST(FundamentalAtBand, NamesNoteAndCents)
{
    const FundamentalReading a5 = fundamental_at_band(15360.0);
    EXPECT_TRUE(a5.found);
    EXPECT_DOUBLE_EQ(a5.hz, 440.0);
    EXPECT_EQ(a5.note, 69);
    EXPECT_DOUBLE_EQ(a5.cents, 0.0);
    const FundamentalReading up = fundamental_at_band(15360.0 + 127.0);  // 49.6 cents up: still A5
    EXPECT_EQ(up.note, 69);
    EXPECT_NEAR(up.cents, 49.609375, 1e-9);
    const FundamentalReading down = fundamental_at_band(15360.0 + 129.0);  // nearer B flat
    EXPECT_EQ(down.note, 70);
    EXPECT_NEAR(down.cents, -49.609375, 1e-9);
}

// A 16 s window's lobes are so narrow that these sines (found among random
// ones) missed every nearby tempered pitch by many lobes, and the coarse
// pass's strongest group was one whose triangle's 29th to 47th harmonic
// answered them: the note read-out named a note five octaves below. Made as
// the intake makes them: server-rate samples averaged in groups.
TEST(LongestWindow, SinesFarFromEveryPitchReadTheirNote)
{
    const struct {
        int rate;
        double hz;
        double phase;
    } cases[] = {
        {8000, 968.2739, 2.8916},   // answered by group 7 (20.6 Hz), harmonic 47
        {16000, 3190.0426, 5.1870}, // group 36 (110 Hz), harmonic 29
        {24000, 2148.0733, 3.9754}, // group 28, harmonic 31
        {48000, 1074.1116, 1.6068}, // group 16, harmonic 31
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.rate);
        Engine engine(engine_config(c.rate, 100000000));  // cut to 16 s
        const auto div = static_cast<std::uint64_t>(SERVER_RATE / c.rate);
        std::vector<double> w(engine.window_size());
        for (std::uint64_t i = 0; i < w.size(); i++) {
            float sum = 0.0f;
            for (std::uint64_t k = 0; k < div; k++)
                sum += static_cast<float>(0.5 * std::cos(TWO_PI * c.hz * double(i * div + k) / SERVER_RATE + c.phase));
            w[i] = static_cast<double>(sum / static_cast<float>(div) * 2147483392.0f);
        }
        const OfflineRow row = analyse_window(engine, w.data());
        EXPECT_LT(std::fabs(cents(engine.band_freq()[row.readout_band], c.hz)), 50.0);
        ASSERT_TRUE(row.fundamental.found);
        EXPECT_LT(std::fabs(cents(row.fundamental.hz, c.hz)), 1.0);
    }
}

// Low notes whose second partial leads the summation, and the octaves that
// must stay. The gains (partial 1 first) are a rendered steel guitar's and
// a contrabass's levels, rounded: the odd partials 12 to 30 dB below the
// second, which read the octave above before the half-multiples were
// checked. Expected by hand: the played note, or, where nothing lies
// between the partials, the lowest of them.
TEST_F(Fundamental, LowNoteOctaveTable)
{
    struct Case {
        const char *name;
        double f0;                   // Hz of partial 1
        std::vector<double> gains;   // of partials 1, 2, ... of f0; 0: absent
        double noise;                // white noise's RMS over the tone's
        double expected_hz;
    };
    const double e2 = midi_hz(40), g1 = midi_hz(31), e3 = midi_hz(52), a2 = midi_hz(45);
    const Case cases[] = {
        {"steel guitar E2, weak odd partials", e2, {0.03, 1.0, 0.25, 0.18, 0.12, 0.04}, 0.0, e2},
        {"same, fundamental missing", e2, {0.0, 1.0, 0.25, 0.18, 0.12, 0.04}, 0.0, e2},
        {"contrabass G1, strong second and fourth", g1, {0.05, 1.0, 0.16, 0.43, 0.03, 0.13}, 0.0, g1},
        {"steel guitar E2 in noise", e2, {0.03, 1.0, 0.25, 0.18, 0.12, 0.04}, 0.3, e2},
        // Only E2's even partials: E3's own 1 to 4.
        {"E2's even partials alone are E3", e2, {0.0, 1.0, 0.0, 0.5, 0.0, 0.33, 0.0, 0.25}, 0.0, e3},
        {"harmonic A2, all partials", a2, {1.0, 0.5, 0.33, 0.25, 0.2, 0.17}, 0.0, a2},
        {"pure A2 in noise", a2, {1.0}, 0.5, a2},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<Partial> list;
        for (std::size_t k = 0; k < c.gains.size(); k++) {
            if (c.gains[k] > 0.0)
                list.push_back({double(k + 1) * c.f0, c.gains[k]});
        }
        std::vector<double> w = partials(list);
        double power = 0.0;
        for (const Partial &p : list)
            power += 0.5 * p.gain * p.gain;
        // White noise (uniform, variance 1 / 12 of its span squared) at
        // c.noise times the tone's RMS.
        const double span = c.noise * std::sqrt(12.0 * power);
        for (std::uint64_t i = 0; i < w.size(); i++)
            w[i] += AMPLITUDE * span * white_noise(4242 + i);
        const FundamentalReading r = analyse(w).fundamental;
        ASSERT_TRUE(r.found);
        EXPECT_NEAR(cents(r.hz, c.expected_hz), 0.0, 1.0);
        EXPECT_EQ(r.note, std::lround(69 + 12 * std::log2(c.expected_hz / 440.0)));
    }
}
