#include "siggen/generator.h"

#include "engine/engine.h"
#include "engine/kernels.h"


#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>

namespace {

constexpr std::uint32_t BROWN_ODD_STEP = 0xffff1d;      // added to an odd brown state before the shift
constexpr std::uint32_t LCG_MULTIPLIER = 1103515245u;   // white noise: state * a + c mod 2^32
constexpr std::uint32_t LCG_INCREMENT = 12345u;
constexpr int WHITE_DROP_BITS = 8;                      // white noise keeps the top 24 state bits
constexpr std::int32_t NOISE_OFFSET = 1 << 23;          // maps 24-bit u to -2^23 .. 2^23 - 1
constexpr double COSINE_AMPLITUDE = 16777216.0;         // 2^24 ring units at level 1.0
constexpr double TWO_PI = 6.283185307179586;

// Noise is convolved in blocks as long as the kernel; each block's result
// spills one block into the next, hence the tail.
constexpr int BP_BLOCK = BP_KERNEL_LEN;

const double SILENCE[GEN_FRAME] = {};

// Truncate toward zero to 32 bits. Above level 2^8 the products leave that
// range; they saturate rather than wrap, so loud noise clips instead of
// flipping sign.
double to_int32(double x)
{
    constexpr double low = std::numeric_limits<std::int32_t>::min();
    constexpr double high = std::numeric_limits<std::int32_t>::max();
    return static_cast<double>(static_cast<std::int32_t>(std::clamp(x, low, high)));
}

void carry_tail(double *bp, int buffer_len)
{
    std::memmove(bp, bp + GEN_FRAME, BP_BLOCK * sizeof(double));
    std::fill(bp + BP_BLOCK, bp + buffer_len, 0.0);
}

bool plays(const GeneratorSnapshot &snapshot, int source)
{
    return snapshot.source_0 == source || snapshot.source_1 == source;
}

}  // namespace

bool frame_computed(const GeneratorSnapshot &snapshot, int source, bool literal_paths)
{
    switch (source) {
    case SOURCE_COSINE: return plays(snapshot, source);
    case SOURCE_BROWN_NOISE_BP:
    case SOURCE_WHITE_NOISE_BP: return literal_paths || plays(snapshot, source);
    default: return true;
    }
}

int frame_source(int selected, int snapshot_source, bool selected_computed)
{
    return selected_computed ? selected : snapshot_source;
}

Generator::Generator(SampleExchange &exchange, bool literal_paths) : exchange_(exchange), literal_paths_(literal_paths)
{
}

Generator::~Generator()
{
    stop();
}

// Overlap-add of one frame of a noise into its band-passed buffer: the tail
// the last frame left over starts this one.
void Generator::band_pass(const double *kernel, const double *raw, double *bp, SkippedBandPass &skipped)
{
    if (skipped.tail_owed) {
        std::fill(bp, bp + BP_BUFFER_LEN, 0.0);
        convolve_add(skipped_kernel_, skipped.last_block, bp + BP_BLOCK, BP_BLOCK);
        skipped.tail_owed = false;
    }
    carry_tail(bp, BP_BUFFER_LEN);
    convolve_add(kernel, raw, bp, BP_BLOCK);
    convolve_add(kernel, raw + BP_BLOCK, bp + BP_BLOCK, BP_BLOCK);
}

void Generator::skip_band_pass(const double *raw, SkippedBandPass &skipped)
{
    std::memcpy(skipped.last_block, raw + BP_BLOCK, sizeof skipped.last_block);
    skipped.tail_owed = true;
}

// How long to wait for room for a frame in both rings, for both readers; 0
// when there is room. Playback makes room a period at a time, so its wait
// is the time the missing samples take; the assembler makes room a block at
// a time and says so with a broadcast once there is room for a frame
// (generator_wants_tap_room), so the longest wait does for it. The tap
// follows playback, so room behind it is room behind both: a generator short
// of both waits for the tap alone, and is woken once, not twice.
long Generator::room_wait_us()
{
    std::uint32_t played_room = GEN_FRAME;
    std::uint32_t tapped_room = GEN_FRAME;
    for (const SampleRing *ring : {&exchange_.out_ring_0, &exchange_.out_ring_1}) {
        played_room = std::min(played_room, ring_free(*ring, RingReader::consumer));
        tapped_room = std::min(tapped_room, ring_free(*ring, RingReader::tap));
    }
    const bool behind_tap = tapped_room < GEN_FRAME;
    exchange_.generator_wants_tap_room = behind_tap ? GEN_FRAME : 0;
    if (behind_tap)
        return AUDIO_POLL_US_LONGEST;
    return played_room < GEN_FRAME ? exchange_.poll_us(GEN_FRAME - played_room) : 0;
}

GeneratorSnapshot Generator::snapshot() const
{
    GeneratorSnapshot s;
    MutexLock lock(params_mutex_);
    s.level = level_;
    s.phase_step = phase_step_;
    s.source_0 = output_source_0_;
    s.source_1 = output_source_1_;
    std::memcpy(s.kernel, kernel_, sizeof(kernel_));
    return s;
}

void Generator::set_output_source(int output, int source)
{
    MutexLock lock(params_mutex_);
    (output == 0 ? output_source_0_ : output_source_1_) = source;
}

void Generator::set_sound(double level, double phase_step, const double *kernel)
{
    MutexLock lock(params_mutex_);
    level_ = level;
    phase_step_ = phase_step;
    std::memcpy(kernel_, kernel, sizeof(kernel_));
}

void Generator::compute_frame(const GeneratorSnapshot &snapshot)
{
    const double level = snapshot.level;
    const bool cosine = plays(snapshot, SOURCE_COSINE);
    // The noises and the phase run on whatever is selected, so a source
    // switched in later continues its sequence rather than restarting it.
    for (int i = 0; i < GEN_FRAME; i++) {
        phase_ += snapshot.phase_step;

        if ((brown_state_ & 1) != 0)
            brown_state_ += BROWN_ODD_STEP;
        brown_state_ >>= 1;
        brown_[i] = to_int32((static_cast<std::int32_t>(brown_state_) - NOISE_OFFSET) * level);

        white_state_ = white_state_ * LCG_MULTIPLIER + LCG_INCREMENT;
        const std::int32_t u = static_cast<std::int32_t>(white_state_ >> WHITE_DROP_BITS);
        white_[i] = to_int32((u - NOISE_OFFSET) * level);

        if (phase_ >= TWO_PI)
            phase_ -= TWO_PI;
        if (cosine)
            cosine_[i] = std::cos(phase_) * level * COSINE_AMPLITUDE;
    }

    const struct {
        const double *raw;
        double *bp;
        SkippedBandPass &skipped;
        int source;
    } noises[] = {
        {brown_, brown_bp_, brown_skipped_, SOURCE_BROWN_NOISE_BP},
        {white_, white_bp_, white_skipped_, SOURCE_WHITE_NOISE_BP},
    };
    bool skipped_any = false;
    for (const auto &noise : noises) {
        if (literal_paths_ || plays(snapshot, noise.source)) {
            band_pass(snapshot.kernel, noise.raw, noise.bp, noise.skipped);
        } else {
            skip_band_pass(noise.raw, noise.skipped);
            skipped_any = true;
        }
    }
    if (skipped_any)
        std::memcpy(skipped_kernel_, snapshot.kernel, sizeof skipped_kernel_);
}

const double *Generator::frame(int source) const
{
    switch (source) {
    case SOURCE_BROWN_NOISE: return brown_;
    case SOURCE_WHITE_NOISE: return white_;
    case SOURCE_BROWN_NOISE_BP: return brown_bp_;
    case SOURCE_WHITE_NOISE_BP: return white_bp_;
    case SOURCE_COSINE: return cosine_;
    default: return SILENCE;
    }
}

void Generator::start()
{
    thread_ = start_named_thread("orvel-generator", [this] { run(); });
}

void Generator::stop()
{
    if (!thread_.joinable())
        return;
    {
        MutexLock lock(exchange_.ring_mutex);
        stopping_ = true;
    }
    exchange_.tap_moved.broadcast();
    thread_.join();
}

void Generator::run()
{
    for (;;) {
        {
            MutexLock lock(exchange_.ring_mutex);
            for (;;) {
                if (stopping_)
                    return;
                const long wait_us = room_wait_us();
                if (wait_us == 0)
                    break;
                exchange_.tap_moved.wait_for(exchange_.ring_mutex, std::chrono::microseconds(wait_us));
            }
            exchange_.generator_wants_tap_room = 0;
        }
        thread_snapshot_ = snapshot();
        compute_frame(thread_snapshot_);

        int selected_0;
        int selected_1;
        {
            MutexLock lock(params_mutex_);
            selected_0 = output_source_0_;
            selected_1 = output_source_1_;
        }
        const GeneratorSnapshot &s = thread_snapshot_;
        const int source_0 = frame_source(selected_0, s.source_0, frame_computed(s, selected_0, literal_paths_));
        const int source_1 = frame_source(selected_1, s.source_1, frame_computed(s, selected_1, literal_paths_));
        bool assembler_waits;
        {
            MutexLock lock(exchange_.ring_mutex);
            ring_push_block(exchange_.out_ring_0, frame(source_0), GEN_FRAME);
            ring_push_block(exchange_.out_ring_1, frame(source_1), GEN_FRAME);
            assembler_waits = exchange_.assembler_waits_for_tap;
        }
        if (assembler_waits)
            exchange_.ring_changed.broadcast();
    }
}
