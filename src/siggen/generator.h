// Generator: fills the output rings of a SampleExchange at the engine rate,
// in frames of GEN_FRAME samples, each output playing one of six sources.
// Sample values are in ring units (FULL_SCALE is a server sample of 1.0); at
// level 1.0 the noises span -2^23 .. 2^23 - 1 and the cosine has amplitude
// 2^24. One thread ("orvel-generator"), started by start() and joined by
// stop(). The parameters are written by the toolkit under params_mutex_; the
// thread waits for room on the exchange's ring_mutex. The two are never held
// together.
#pragma once

#include "audio/rate_conversion.h"
#include "engine/mutex.h"

#include <cstdint>
#include <thread>

constexpr int GEN_FRAME = 2048;          // samples per generated frame
constexpr int BP_KERNEL_LEN = 1024;      // band-pass taps; tap i at entry 512 + i

enum GeneratorSource : int {
    SOURCE_SILENCE = 0,
    SOURCE_BROWN_NOISE = 1,
    SOURCE_WHITE_NOISE = 2,
    SOURCE_BROWN_NOISE_BP = 3,
    SOURCE_WHITE_NOISE_BP = 4,
    SOURCE_COSINE = 5,
    SOURCE_COUNT = 6,
};

// What one frame is computed from: a consistent copy of the parameters.
struct GeneratorSnapshot {
    double level;                 // amplitude factor 2^(level / 16)
    double phase_step;            // cosine step, radians per sample
    int source_0;                 // source of out_ring_0 (output_1)
    int source_1;                 // source of out_ring_1 (output_2)
    double kernel[BP_KERNEL_LEN]; // band-pass kernel
};

// Whether the frame computed from snapshot holds source (every band-passed
// noise with literal_paths). Pure.
bool frame_computed(const GeneratorSnapshot &snapshot, int source, bool literal_paths);

// The source an output plays from the frame just computed: the one selected
// now (a switch takes effect at once), except a switch to a source the frame
// did not compute (frame_computed), whose buffer would hold a stale frame;
// that output then keeps its snapshot source for one frame more. Pure.
int frame_source(int selected, int snapshot_source, bool selected_computed);

class Generator {
public:
    // literal_paths: band-pass every noise in every frame, as the plain
    // reference does, instead of only the ones played.
    explicit Generator(SampleExchange &exchange, bool literal_paths = false);
    ~Generator();  // stops
    Generator(const Generator &) = delete;
    Generator &operator=(const Generator &) = delete;

    // Start the thread, after the parameters are set and before the sound
    // server is joined; stop ends and joins it.
    void start();
    void stop() EXCLUDES(exchange_.ring_mutex);

    // What output (0 or 1) plays: a GeneratorSource. Toolkit thread; takes
    // effect with the next frame.
    void set_output_source(int output, int source) EXCLUDES(params_mutex_);
    // Level factor, cosine step and band-pass kernel (BP_KERNEL_LEN), as
    // filter_design.h designs them. Toolkit thread.
    void set_sound(double level, double phase_step, const double *kernel) EXCLUDES(params_mutex_);

    // Copy the parameters.
    GeneratorSnapshot snapshot() const EXCLUDES(params_mutex_);

    // Compute the next frame into the generator's own buffers: both noises
    // always (their states advance whatever plays), the cosine and each
    // band-passed noise only when a snapshot source plays it. A noise
    // band-passed again after frames without gets the tail those frames
    // would have left. The generator thread (or a test standing in for it)
    // only.
    void compute_frame(const GeneratorSnapshot &snapshot);

    // The frame computed last of a source (GEN_FRAME samples; zeros for
    // silence or an unknown source). Same thread as compute_frame.
    const double *frame(int source) const;
    double frame_sample(int source, int k) const { return frame(source)[k]; }

private:
    // A noise nobody plays band-passed is not filtered (most of the
    // generator's work). Its last block is kept instead, so that the tail
    // can be made when it is played again: the same sums, in another order.
    struct SkippedBandPass {
        bool tail_owed = false;
        double last_block[BP_KERNEL_LEN];
    };

    void run();
    long room_wait_us() REQUIRES(exchange_.ring_mutex);
    void band_pass(const double *kernel, const double *raw, double *bp, SkippedBandPass &skipped);
    void skip_band_pass(const double *raw, SkippedBandPass &skipped);

    SampleExchange &exchange_;
    const bool literal_paths_;

    // ---- parameters ----
    mutable Mutex params_mutex_;
    int output_source_0_ GUARDED_BY(params_mutex_) = SOURCE_SILENCE;
    int output_source_1_ GUARDED_BY(params_mutex_) = SOURCE_SILENCE;
    double level_ GUARDED_BY(params_mutex_) = 1.0;       // amplitude factor
    double phase_step_ GUARDED_BY(params_mutex_) = 0.0;  // radians per sample
    double kernel_[BP_KERNEL_LEN] GUARDED_BY(params_mutex_) = {};

    bool stopping_ GUARDED_BY(exchange_.ring_mutex) = false;

    // ---- generator thread only ----
    static constexpr int BP_BUFFER_LEN = GEN_FRAME + BP_KERNEL_LEN;
    std::uint32_t brown_state_ = 1;  // brown-noise shift register; only the low 24 bits are ever set
    std::uint32_t white_state_ = 0;  // white-noise congruential state
    double phase_ = 0.0;             // cosine phase in radians, in [0, 2 pi)
    double brown_[GEN_FRAME] = {};         // ring units
    double white_[GEN_FRAME] = {};         // ring units
    double cosine_[GEN_FRAME] = {};        // ring units; kept from the last frame that computed it
    double brown_bp_[BP_BUFFER_LEN] = {};  // filtered frame, then the tail for the next frame
    double white_bp_[BP_BUFFER_LEN] = {};  // filtered frame, then the tail for the next frame
    SkippedBandPass brown_skipped_;
    SkippedBandPass white_skipped_;
    double skipped_kernel_[BP_KERNEL_LEN] = {};  // the kernel of the frame the skipped blocks are from
    GeneratorSnapshot thread_snapshot_{};        // the thread's copy of the parameters

    std::thread thread_;
};
