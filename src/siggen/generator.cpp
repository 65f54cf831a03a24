#include "siggen/generator.h"

#include "audio/rate_conversion.h"
#include "engine/engine_state.h"
#include "engine/kernels.h"

#include <QThread>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

// ---- parameters (audio_mutex) ---------------------------------------------------

int output_source_0 = SOURCE_SILENCE;
int output_source_1 = SOURCE_SILENCE;
double gen_level = 1.0;
double gen_phase_step = 0.0;
double bp_kernel[BP_KERNEL_LEN];

// ---- generator thread only ------------------------------------------------------

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
constexpr int BP_BUFFER_LEN = GEN_FRAME + BP_BLOCK;

std::uint32_t gen_brown_state = 1;  // brown-noise shift register; only the low 24 bits are ever set
std::uint32_t gen_white_state = 0;  // white-noise congruential state
double gen_phase = 0.0;             // cosine phase in radians, in [0, 2 pi)

double gen_brown[GEN_FRAME];         // ring units
double gen_white[GEN_FRAME];         // ring units
double gen_cosine[GEN_FRAME];        // ring units; kept from the last frame that computed it
double gen_brown_bp[BP_BUFFER_LEN];  // filtered frame, then the tail for the next frame
double gen_white_bp[BP_BUFFER_LEN];  // filtered frame, then the tail for the next frame

// A noise nobody plays band-passed is not filtered (most of the generator's
// work). Its last block and kernel are kept instead, so that the tail can be
// made when it is played again: the same sums, in another order.
struct SkippedBandPass {
    bool tail_owed = false;
    double last_block[BP_BLOCK];
};
SkippedBandPass gen_brown_skipped;
SkippedBandPass gen_white_skipped;
double gen_skipped_kernel[BP_KERNEL_LEN];  // the kernel of the frame the blocks are from

GeneratorSnapshot gen_snapshot;      // the generator thread's copy of the parameters
const double gen_silence[GEN_FRAME] = {};

// Truncate toward zero to 32 bits. Above level 2^8 the products leave that
// range; they saturate rather than wrap, so loud noise clips instead of
// flipping sign.
double to_int32(double x)
{
    constexpr double low = std::numeric_limits<std::int32_t>::min();
    constexpr double high = std::numeric_limits<std::int32_t>::max();
    return static_cast<double>(static_cast<std::int32_t>(std::clamp(x, low, high)));
}

void carry_tail(double *bp)
{
    std::memmove(bp, bp + GEN_FRAME, BP_BLOCK * sizeof(double));
    std::fill(bp + BP_BLOCK, bp + BP_BUFFER_LEN, 0.0);
}

bool plays(const GeneratorSnapshot &snapshot, int source)
{
    return snapshot.source_0 == source || snapshot.source_1 == source;
}

// Overlap-add of one frame of a noise into its band-passed buffer: the tail
// the last frame left over starts this one.
void band_pass(const double *kernel, const double *raw, double *bp, SkippedBandPass &skipped)
{
    if (skipped.tail_owed) {
        std::fill(bp, bp + BP_BUFFER_LEN, 0.0);
        convolve_add(gen_skipped_kernel, skipped.last_block, bp + BP_BLOCK, BP_BLOCK);
        skipped.tail_owed = false;
    }
    carry_tail(bp);
    convolve_add(kernel, raw, bp, BP_BLOCK);
    convolve_add(kernel, raw + BP_BLOCK, bp + BP_BLOCK, BP_BLOCK);
}

void skip_band_pass(const double *raw, SkippedBandPass &skipped)
{
    std::memcpy(skipped.last_block, raw + BP_BLOCK, sizeof skipped.last_block);
    skipped.tail_owed = true;
}

// How long to wait for room for a frame in both rings, for both readers; 0
// when there is room. Playback makes room a period at a time, so its wait
// is the time the missing samples take; the assembler makes room a block at
// a time and says so with a broadcast, so the longest wait does for it.
long room_wait_us()
{
    std::uint32_t played_room = GEN_FRAME;
    std::uint32_t tapped_room = GEN_FRAME;
    for (const SampleRing *ring : {&out_ring_0, &out_ring_1}) {
        played_room = std::min(played_room, ring_free(*ring, RingReader::consumer));
        tapped_room = std::min(tapped_room, ring_free(*ring, RingReader::tap));
    }
    if (played_room < GEN_FRAME)
        return audio_poll_us(GEN_FRAME - played_room);
    return tapped_room < GEN_FRAME ? AUDIO_POLL_US_LONGEST : 0;
}

}  // namespace

void generator_take_snapshot(GeneratorSnapshot &snapshot)
{
    snapshot.level = gen_level;
    snapshot.phase_step = gen_phase_step;
    snapshot.source_0 = output_source_0;
    snapshot.source_1 = output_source_1;
    std::memcpy(snapshot.kernel, bp_kernel, sizeof(bp_kernel));
}

void generator_compute_frame(const GeneratorSnapshot &snapshot)
{
    const double level = snapshot.level;
    const bool cosine = plays(snapshot, SOURCE_COSINE);
    // The noises and the phase run on whatever is selected, so a source
    // switched in later continues its sequence rather than restarting it.
    for (int i = 0; i < GEN_FRAME; i++) {
        gen_phase += snapshot.phase_step;

        if ((gen_brown_state & 1) != 0)
            gen_brown_state += BROWN_ODD_STEP;
        gen_brown_state >>= 1;
        gen_brown[i] = to_int32((static_cast<std::int32_t>(gen_brown_state) - NOISE_OFFSET) * level);

        gen_white_state = gen_white_state * LCG_MULTIPLIER + LCG_INCREMENT;
        const std::int32_t u = static_cast<std::int32_t>(gen_white_state >> WHITE_DROP_BITS);
        gen_white[i] = to_int32((u - NOISE_OFFSET) * level);

        if (gen_phase >= TWO_PI)
            gen_phase -= TWO_PI;
        if (cosine)
            gen_cosine[i] = std::cos(gen_phase) * level * COSINE_AMPLITUDE;
    }

    const struct {
        const double *raw;
        double *bp;
        SkippedBandPass &skipped;
        int source;
    } noises[] = {
        {gen_brown, gen_brown_bp, gen_brown_skipped, SOURCE_BROWN_NOISE_BP},
        {gen_white, gen_white_bp, gen_white_skipped, SOURCE_WHITE_NOISE_BP},
    };
    bool skipped_any = false;
    for (const auto &noise : noises) {
        if (literal_paths || plays(snapshot, noise.source)) {
            band_pass(snapshot.kernel, noise.raw, noise.bp, noise.skipped);
        } else {
            skip_band_pass(noise.raw, noise.skipped);
            skipped_any = true;
        }
    }
    if (skipped_any)
        std::memcpy(gen_skipped_kernel, snapshot.kernel, sizeof gen_skipped_kernel);
}

bool frame_computed(const GeneratorSnapshot &snapshot, int source)
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

const double *generator_frame(int source)
{
    switch (source) {
    case SOURCE_BROWN_NOISE: return gen_brown;
    case SOURCE_WHITE_NOISE: return gen_white;
    case SOURCE_BROWN_NOISE_BP: return gen_brown_bp;
    case SOURCE_WHITE_NOISE_BP: return gen_white_bp;
    case SOURCE_COSINE: return gen_cosine;
    default: return gen_silence;
    }
}

double generator_frame_sample(int source, int k)
{
    return generator_frame(source)[k];
}

void *generator_main(void *)
{
    QThread::currentThread()->setPriority(QThread::HighPriority);
    audio_lock();
    for (;;) {
        while (const long wait_us = room_wait_us())
            audio_wait_for(wait_us);
        generator_take_snapshot(gen_snapshot);
        audio_unlock();

        generator_compute_frame(gen_snapshot);

        audio_lock();
        const int source_0 =
            frame_source(output_source_0, gen_snapshot.source_0, frame_computed(gen_snapshot, output_source_0));
        const int source_1 =
            frame_source(output_source_1, gen_snapshot.source_1, frame_computed(gen_snapshot, output_source_1));
        ring_push_block(out_ring_0, generator_frame(source_0), GEN_FRAME);
        ring_push_block(out_ring_1, generator_frame(source_1), GEN_FRAME);
        audio_wakeup();
    }
    return nullptr;
}

void generator_start()
{
    start_engine_thread(generator_main, "orvel-generator");
}

void set_output_source(int output, int source)
{
    audio_lock();
    (output == 0 ? output_source_0 : output_source_1) = source;
    audio_wakeup();
    audio_unlock();
}
