// The fundamental: the note being played, also when its fundamental is weak
// or missing, rather than the strongest partial the note read-out names.
//
// Chosen by harmonic summation over a semitone spectrum, and measured on the
// fundamental's own lobe (or, when that is missing, on the strongest partial
// divided by its number): the magnitude, free of the level's phase ripple,
// placed between pairs of probes by the shape of a window's main lobe, on
// windows growing to the whole one, so that neither the ripple nor the
// 1/256 grid limits it. Where the octave below sums nearly as high, the
// half-multiples of the measured tone, on the whole window, tell whether
// they are the note's odd partials (a low string's or voice's second
// partial louder than all its odd ones) and the octave below is read.
#pragma once

#include "engine/band_probe.h"
#include "engine/engine_types.h"

#include <cstdint>

// The fundamental of one job's window. group_levels are the coarse pass's
// stored levels of the `groups` semitone groups (group g at band 256 g),
// probe measures the same window anywhere. Its probes add up to about 16 to
// 18 whole windows of kernel samples a job (docs/accuracy.md, "Cost per
// job"): about 6 to 7 % of what the coarse pass and the refinement cost.
// Any thread, no lock, nothing allocated; probe must be callable from the
// calling thread.
// A window with no tone standing out of its own spectrum's floor by a clear
// factor, silence included, reads as not found.
FundamentalReading find_fundamental(const double *group_levels, std::uint64_t groups, const BandProbe &probe);

// The reading at fractional band b (b >= 0), found. Pure.
FundamentalReading fundamental_at_band(double band);
