// Sample rings between the sound server's real-time thread, the generator
// and the block assembler, with the rate conversion between the server's
// 48000 Hz and the engine rate.
//
//   in_ring_0/1   exchange_samples -> block assembler (reader 2)
//   out_ring_0/1  generator -> exchange_samples (reader 2, playback)
//                           -> block assembler (reader 1, analysis tap)
//
// Ring values are in ring units: FULL_SCALE is a server sample of 1.0.
// audio_mutex guards every ring index, the staging state, main_channel,
// corr_channel and the assembler's counters. The generator and the assembler
// broadcast after every change; the real-time side does not (see
// AUDIO_POLL_US), so whoever waits for the rings waits with a time-out.
#pragma once

#include <cstdint>

constexpr std::uint32_t RING_SIZE = 5120;  // slots; one always stays empty
constexpr std::uint32_t BLOCK_LEN = 1024;  // samples per analysis block
constexpr int SERVER_RATE = 48000;         // the only server rate we run at
constexpr double FULL_SCALE = 2147483392.0;  // 2^31 - 256, exact in single precision
constexpr int MAX_RATE_DIV = 8;            // staging room; rate_div is at most 6
constexpr std::uint32_t GENERATOR_FRAME = 2048;  // the generator writes whole frames of this many samples
// exchange_samples wakes nobody; the threads that wait for the rings look
// again at least this often (microseconds). Far below the slack either has:
// a frame lasts 42 ms and a block 21 ms even at 48000 Hz.
constexpr long AUDIO_POLL_US = 5000;

// Analysis channels a block is split into (main_channel, corr_channel).
enum AnalysisChannel : int {
    CHANNEL_INPUT_0 = 0,
    CHANNEL_INPUT_1 = 1,
    CHANNEL_INPUT_SUM = 2,   // plain sum, may reach twice full scale
    CHANNEL_OUTPUT_0 = 3,
    CHANNEL_OUTPUT_1 = 4,
    CHANNEL_OUTPUT_SUM = 5,
    CHANNEL_COUNT = 6,
};

// One writer, two independent readers. Index arithmetic is modulo RING_SIZE.
struct SampleRing {
    double values[RING_SIZE];    // ring units
    std::uint32_t write_index;
    std::uint32_t read_index_1;
    std::uint32_t read_index_2;
};

void ring_push(SampleRing &ring, double x);
double ring_pop_1(SampleRing &ring);
double ring_pop_2(SampleRing &ring);
std::uint32_t ring_fill_1(const SampleRing &ring);  // samples reader 1 has not taken
std::uint32_t ring_fill_2(const SampleRing &ring);
std::uint32_t ring_free_1(const SampleRing &ring);  // pushes before overtaking reader 1
std::uint32_t ring_free_2(const SampleRing &ring);

// Block forms of push and pop: the same effect as n single calls, copied in
// at most two pieces so that audio_mutex is held as briefly as possible.
void ring_push_block(SampleRing &ring, const double *src, std::uint32_t n);
void ring_pop_1_block(SampleRing &ring, double *dst, std::uint32_t n);
void ring_pop_2_block(SampleRing &ring, double *dst, std::uint32_t n);

extern SampleRing in_ring_0;   // input_1, decimated ("INPUT 0")
extern SampleRing in_ring_1;   // input_2, decimated ("INPUT 1")
extern SampleRing out_ring_0;  // generator output for output_1 ("OUTPUT 0")
extern SampleRing out_ring_1;  // generator output for output_2 ("OUTPUT 1")

extern int main_channel;  // audio_mutex; channel appended to input_history (0..5)
extern int corr_channel;  // audio_mutex; channel sent time-reversed as each job's reference

// Blocks that reached the assembler but made no job because the jobs in
// flight were at their bound or memory was short (audio_mutex). Such blocks
// still enter input_history.
extern std::uint64_t blocks_skipped;

// True while the assembler waits for a whole block on every ring (audio_mutex).
extern bool assembler_waiting;

// Most jobs made but not completed at once: few enough that their memory
// stays within job_memory_budget and their result rows do not collide.
constexpr std::uint64_t JOB_MEMORY_BUDGET = 256ull << 20;  // bytes
extern std::uint64_t job_memory_budget;  // audio_mutex; JOB_MEMORY_BUDGET unless a test lowers it
std::uint64_t job_limit();  // caller holds audio_mutex
// Bytes one job and its tasks take at the current window and band count.
std::uint64_t job_bytes();

// Real-time thread, once per server period. io_1 / io_2 hold the nframes
// samples just received; on return they hold the samples to play. Averages
// each group of rate_div frames into the input rings and plays the output
// rings interpolated linearly, one group late (silence ramps in when they run
// dry). Input groups stay paired with the output samples the assembler taps:
// a group recorded while playback ran dry is dropped, and one dropped for a
// full input ring makes the tap skip its partner. Non-finite input counts as
// 0. Takes audio_mutex for its whole run; allocates nothing and wakes nobody.
void exchange_samples(float *io_1, float *io_2, std::uint32_t nframes);

// Drop the samples the assembler has not yet taken from the input rings, and
// as many from its tap on the output rings so the two stay paired. Takes
// audio_mutex; broadcasts.
void flush_input_rings();

// Start-up, main thread: set input_history_length to window_size + 1024 and
// allocate input_history zeroed. Before the assembler starts.
void input_history_setup();

// Start the block assembler thread (never ends). After input_history_setup().
void assembler_start();

// Assembler thread body.
void *assembler_main(void *);
