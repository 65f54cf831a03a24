// The server side of the sample rings: the four rings between the sound
// server's real-time thread, the generator and the block assembler, and the
// conversion between the server's 48000 Hz and the engine rate.
//
//   in_ring_0/1   exchange_samples (writer) -> block assembler (consumer)
//   out_ring_0/1  generator (writer) -> exchange_samples (consumer: playback)
//                                    -> block assembler (tap)
//
// exchange_samples takes no lock and wakes nobody: a woken thread could take
// the real-time thread's processor, and a lock holder stalled elsewhere would
// make the server wait. The generator and the assembler look at the rings
// again when what they miss should have come (audio_poll_us).
#pragma once

#include "audio/sample_ring.h"

#include <atomic>
#include <cstdint>

constexpr int MAX_RATE_DIV = 8;     // staging room; 48000 / the lowest engine rate is 6
// A fixed look every few milliseconds, for waiters that cannot tell what
// they miss: far below the slack of a block (21 ms even at 48000 Hz).
constexpr long AUDIO_POLL_US = 5000;

// How long a waiter for `missing` engine samples, or room for them, may sleep
// before it looks at the rings again: until they should have come, at least
// a millisecond and at most AUDIO_POLL_US_LONGEST. It then wakes about once a
// block or frame instead of every few milliseconds; a broadcast still wakes
// it at once. Any thread.
constexpr long AUDIO_POLL_US_SHORTEST = 1000;
constexpr long AUDIO_POLL_US_LONGEST = 100000;
long audio_poll_us(std::uint32_t missing);

extern SampleRing in_ring_0;   // input_1, decimated ("INPUT 0")
extern SampleRing in_ring_1;   // input_2, decimated ("INPUT 1")
extern SampleRing out_ring_0;  // generator output for output_1 ("OUTPUT 0")
extern SampleRing out_ring_1;  // generator output for output_2 ("OUTPUT 1")

// Real-time thread, once per server period. io_1 / io_2 hold the nframes
// samples just received; on return they hold the samples to play. Averages
// each group of 48000 / sample_rate frames into the input rings and plays the
// output rings interpolated linearly, one group late; a dry output ring ramps
// to silence and moves no index. Input groups stay paired with the output
// samples the assembler taps: a group recorded while playback ran dry is
// dropped, and one dropped for a full input ring leaves one tap sample
// unpaired (see take_unpaired_tap_samples). Non-finite input counts as 0.
// Takes no lock, allocates nothing, wakes nobody.
void exchange_samples(float *io_1, float *io_2, std::uint32_t nframes);

// Tap samples whose input partner was dropped since the last call, for the
// tap's owner (the assembler, under audio_mutex) to pass over. Any thread.
std::uint32_t take_unpaired_tap_samples();

// Start the exchange afresh, as at start-up: the input rings emptied for the
// assembler, its tap moved up to playback on both output rings, the group in
// progress and the unpaired count forgotten. The next input group then pairs
// with the next sample played, as the first one did. Main thread, only while
// exchange_samples cannot run (no active client, or the callback held at the
// rate gate); takes audio_mutex and wakes the waiters.
void exchange_restart();
