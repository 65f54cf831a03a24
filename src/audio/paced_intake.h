// Recorded sound into the analysis through the server's intake: what the
// sound server's callback does with live sound (exchange_samples), but at
// the pace of the analysis instead of the server's clock, so that no block
// is skipped. Stands in for the generator as well: exchange_samples keeps
// an input group only while playback has a sample, so the output rings are
// kept topped up with silence.
//
// For a program without a sound server (orvel-analyze): one feeding thread,
// no real-time callback and no generator running. Takes audio_mutex and
// result_mutex, never both at once.
#pragma once

#include <cstdint>

// Frames per feed: the most, up to a server period of 256, that fill whole
// groups of 48000 / sample_rate frames, so a source that ends leaves no
// half group behind for the next one.
std::uint32_t paced_period();

// Feed nframes (at most paced_period()) input frames of input 1 and 2 (the
// analysis channels INPUT 0 and INPUT 1) through exchange_samples. Waits
// first until the assembler has made the job of every whole block fed so
// far and fewer than max_jobs_in_flight jobs are under way. io_1 and io_2
// are overwritten with what would have been played (silence).
void feed_paced(float *io_1, float *io_2, std::uint32_t nframes, std::uint64_t max_jobs_in_flight);

// Wait until every whole block fed has made its job and every job has
// completed: all rows are final.
void wait_for_analysis();

// Start the next source afresh: after wait_for_analysis(), clear the input
// history and the correlation (as Reset does), drop the samples short of a
// block, and zero the result rows, so nothing of the last source decays
// into the next one. Job numbers go on.
void restart_analysis();
