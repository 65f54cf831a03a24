// The tone level: how strongly a window of samples contains a tone of a given
// step (cycles per sample), measured against a triangle cosine and sine.
// Pure functions, any thread, no lock, nothing allocated; ToneWindow, which
// keeps running sums of a window, allocates them and is one thread's.
#pragma once

#include <cstdint>
#include <vector>

// A window's correlations with the triangle cosine and sine of phase i * step.
struct ToneSums {
    double c;
    double s;
};

// The sums tone_level measures by (fast path) and tone_level_literal (literal
// loop), for callers that need more of them than the level.
ToneSums tone_sums(const double *window, std::uint64_t length, double step);
ToneSums tone_sums_literal(const double *window, std::uint64_t length, double step);

// The level of sums taken over length samples: (|c| + |s|) / (length / 2),
// stored through out as max(1.0, level); returns the unclamped level.
double level_of_sums(ToneSums sums, std::uint64_t length, double *out);

// Level of the tone at `step` cycles per sample in the first length samples
// of window (length >= 1): (|c| + |s|) / (length / 2), where c and s are the
// window's correlations with tri_cos and tri_sin of phase i * step. Stores
// max(1.0, level) through out and returns the unclamped level.
//
// Sums several samples at once in a different order from the literal loop,
// with each phase computed as i * step instead of a running sum and the sine
// triangle taken from the cosine's distance to the nearest whole number:
// within about 1e-7 of tone_level_literal, relative to the level (tested).
// Picks the widest vector unit of the processor it runs on (AVX-512, AVX2 or
// SSE2).
double tone_level(const double *window, std::uint64_t length, double *out, double step);

// The literal loop: the phase a running sum of the step, c and s one serial
// sum each, bit for bit as written out with tri_cos and tri_sin. The
// reference the fast path is tested and measured against.
double tone_level_literal(const double *window, std::uint64_t length, double *out, double step);

// A window made ready for many tone levels: the running sums of its samples,
// and of its samples weighted by their place, block by block. Over a quarter
// period both triangles are straight lines, so in a window of up to 98304
// samples (whose sums stay in the cache) a tone of 64 samples a period or
// longer is measured with a few operations a quarter period instead of a few
// a sample; any other goes to the fast path. Held to the fast path's bound
// against the exact level (tested). prepare() allocates when the window
// grows; the sums are made on the first probe that needs them. One thread at
// a time.
class ToneWindow {
public:
    void prepare(const double *samples, std::uint64_t length);
    const double *samples() const { return samples_; }
    std::uint64_t length() const { return length_; }
    // tone_sums over the newest `length` samples of the prepared window.
    ToneSums newest_sums(std::uint64_t length, double step) const;

private:
    struct Moments {
        double sum;       // of the samples
        double weighted;  // of each sample times its distance from the first
    };
    void make_ready(std::uint64_t first) const;
    Moments moments(std::uint64_t first, std::uint64_t end) const;
    ToneSums quarter_sums(std::uint64_t first, std::uint64_t length, double step) const;

    const double *samples_ = nullptr;
    std::uint64_t length_ = 0;
    // Per block, MOMENT_BLOCK + 1 running sums from 0, both side by side (a
    // probe reads both at each bend), each block on its own so that the
    // weights stay small and the sums keep their precision; made when a probe
    // first needs them, hence mutable.
    mutable std::vector<Moments> running_;
    mutable std::uint64_t ready_from_ = 0;  // blocks from here on are made
};
