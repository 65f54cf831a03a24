// Result collector: the last stage of the pipeline, one thread
// (Engine::collect_task). It writes each measured group into its job's row,
// sends the strongest group and its two neighbours back for refinement, and
// finally, in job order, decays the row against the one before it, finds the
// pitch-class peaks, frees the job and counts it completed. The choices it
// makes are these pure functions.
#pragma once

#include "engine/engine_types.h"
#include "engine/pitch.h"

#include <cstdint>

// The strongest of G group levels, by one scan that needs no memory: a
// larger level wins; when neither of two is greater (equal, or a NaN) the
// larger group does. Among equal highest levels the highest group number.
std::uint64_t strongest_group(const double *levels, std::uint64_t groups);

// The strongest local peak of each pitch class in a row of `groups` entries:
// a group at least as strong as its neighbours (is_local_peak with
// PeakEdges::strip, engine/local_peak.h: the first group is never one; the
// last, with none above, may be), the highest group of equal
// peaks, filed under the pitch class of the note nearest to its band (a
// refined group may lie nearer the note above). Pure; the caller holds the
// results lock when row is a result row.
void pitch_class_peaks(const ToneEntry *row, std::uint64_t groups, PitchClassPeak peaks[PITCH_CLASS_COUNT]);

// The three groups refined around the strongest group t, in dispatch order:
// t, t - 1, t + 1, shifted inwards at either end of the range.
void refinement_groups(std::uint64_t t, std::uint64_t groups, std::uint64_t out[3]);
