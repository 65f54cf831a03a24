// The delay loop of the JACK tests and of the soak: Orvel's output_1 through
// a DelayLine back into its input_1, and the delay the correlation reads.
#pragma once

#include "audio/analysis.h"
#include "support/jack_server.h"

#include <cstdint>

// Routes Orvel's "orvel:output_1" into loop's "in" and loop's "out" into
// "orvel:input_1", in place of "system:capture_1". False as soon as the
// server refuses a step.
bool patch_delay_loop(DelayLine &loop);

// Waits (generous limit) until the jobs made from sound that arrives from
// now on cover a whole window and have completed: the input ring's backlog
// is made into jobs first, so it is counted on top. Call once the loop is
// patched. False on time-out.
bool wait_for_looped_window(Analysis &analysis);

// The delay in engine samples at which the correlation peaks now:
// window_size - 1 less the index of the largest correlation value, the first
// of equals.
std::uint64_t correlation_peak_delay(const Engine &engine);
