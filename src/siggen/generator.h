// Generator: fills out_ring_0 and out_ring_1 at the engine rate, in frames of
// GEN_FRAME samples, each output playing one of six sources. Sample values
// are in ring units (FULL_SCALE is a server sample of 1.0); at level 1.0 the
// noises span -2^23 .. 2^23 - 1 and the cosine has amplitude 2^24.
#pragma once

#include "audio/sample_ring.h"

#include <cstdint>

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

// Parameters written by the generator page, all under audio_mutex.
extern int output_source_0;              // source of out_ring_0 (output_1)
extern int output_source_1;              // source of out_ring_1 (output_2)
extern double gen_level;                 // amplitude factor 2^(level / 16)
extern double gen_phase_step;            // cosine step, radians per sample
extern double bp_kernel[BP_KERNEL_LEN];  // band-pass kernel

// What output (0 or 1) plays: a GeneratorSource. Toolkit thread; takes
// audio_mutex and wakes the generator. Takes effect with the next frame.
void set_output_source(int output, int source);

// What one frame is computed from: a consistent copy of the parameters.
struct GeneratorSnapshot {
    double level;
    double phase_step;
    int source_0;
    int source_1;
    double kernel[BP_KERNEL_LEN];
};

// Copy the parameters. Caller holds audio_mutex.
void generator_take_snapshot(GeneratorSnapshot &snapshot);

// Compute the next frame into the generator's private buffers: both noises
// always (their states advance whatever plays), the cosine and each
// band-passed noise only when a snapshot source plays it (every band-passed
// noise with literal_paths). A noise band-passed again after frames without
// gets the tail those frames would have left.
// Generator thread (or a test standing in for it) only; no lock.
void generator_compute_frame(const GeneratorSnapshot &snapshot);

// Whether the frame just computed from snapshot holds source.
bool frame_computed(const GeneratorSnapshot &snapshot, int source);

// The source an output plays from the frame just computed: the one selected
// now (a switch takes effect at once), except a switch to a source the frame
// did not compute (frame_computed), whose buffer would hold a stale frame;
// that output then keeps its snapshot source for one frame more.
int frame_source(int selected, int snapshot_source, bool selected_computed);

// The frame computed last of a source (GEN_FRAME samples; zeros for silence
// or an unknown source).
const double *generator_frame(int source);

// Sample k (0 .. GEN_FRAME - 1) of a source in the frame computed last.
double generator_frame_sample(int source, int k);

// Start the generator thread (never ends). After the generator page has set
// the parameters, before the sound server is opened.
void generator_start();

// Thread body: wait until both rings can take a frame for both readers,
// snapshot, compute without the lock, push, broadcast; forever.
void *generator_main(void *);
