// Which semitone group a job's refinement starts from.
//
// The coarse pass measures each group only at its tempered pitch over the
// whole window, whose main lobe is far narrower than a semitone high up: a
// tone off the grid meets every tempered pitch in a side lobe, and the group
// that wins may be one whose triangle's third, fifth, seventh ... harmonic
// lies nearer the tone (a twelfth, two octaves and a third ... below it, or
// anywhere when the harmonic folds back from above half the rate), or
// a side lobe two or more semitones away. A window short enough that its
// main lobe spans a semitone has no such blind spots, so a few short probes
// of the candidates decide.
#pragma once

#include "engine/band_probe.h"

#include <cstdint>

// The group to refine, given the coarse pass's strongest group `strongest`
// of `groups`: a group two or three semitones away or where the tone would
// lie if `strongest` were a triangle harmonic's answer, when its short-window
// magnitude clearly beats strongest's; else strongest itself. Runs at most
// about 40 probes in a window of half a second, up to about 160 in longer
// ones, the longest about 17 cycles of the lowest group probed (at most
// probe.window samples). Any thread, no lock; silence keeps
// strongest.
std::uint64_t group_to_refine(std::uint64_t strongest, std::uint64_t groups, const BandProbe &probe);
