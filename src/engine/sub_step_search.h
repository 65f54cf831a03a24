// The search for the strongest of a semitone group's 256 sub-steps.
//
// A steady tone's level over the sub-steps is one main lobe, about
// 4432 / (f * T) sub-steps from its peak to its first zero for a tone at f Hz
// in a window of T seconds, and the level (|c| + |s|) also rises and falls
// with the tone's phase, with a period of a quarter of that. The magnitude
// sqrt(c^2 + s^2) has no such ripple and the level stays between it and
// sqrt(2) times it. So the search finds the magnitude's peak from a few
// probes, on the newest part of the window when the lobe is narrower than a
// sub-step (a shorter window widens the lobe and costs less), and then looks
// at every sub-step, or on a fine stride, where the level can still beat the
// best met so far.
#pragma once


#include <cstdint>

// What one probe of one sub-step measures.
struct SubStepProbe {
    double level;      // the stored level: max(1, (|c| + |s|) / (length / 2))
    double magnitude;  // sqrt(c^2 + s^2) / (length / 2)
};

// Measures `sub_step` (0..255) over the newest `length` samples of the window.
using SubStepProbeFn = SubStepProbe (*)(std::uint64_t sub_step, std::uint64_t length, void *context);

struct SubStepGroup {
    std::uint64_t window;  // samples in the window
    double top_spacing;    // step between sub-steps 254 and 255, cycles per sample
    SubStepProbeFn probe;
    void *context;
};

struct RefinedBand {
    std::uint64_t sub_step;  // 0..255
    double level;            // its stored level
};

// The sub-step with the highest stored level, ties to the higher sub-step;
// sub-step 0 keeps coarse_level, the level the coarse pass stored for it.
// Silence, where every level is stored as 1.0, ends on sub-step 255.
RefinedBand find_strongest_sub_step(const SubStepGroup &group, double coarse_level);

// Every sub-step probed over the whole window: what the search must match.
RefinedBand strongest_sub_step_exhaustive(const SubStepGroup &group, double coarse_level);
