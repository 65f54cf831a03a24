// Whether a semitone group of a tone row is a local peak: the one rule the
// pitch-class strip (engine/collector.h) and the graph's peak marks
// (ui/graph_view.cpp) judge peaks by. Pure, any thread.
#pragma once

#include "engine/engine_types.h"

#include <cstdint>

// How a row's two edge groups, which have one neighbour only, are judged.
enum class PeakEdges {
    // The first group is never a peak; the last, with none above, compares
    // with the one below (a tone in the top group must still read). The
    // pitch-class strip's rule.
    strip,
    // Each edge group compares with the next two inward. The graph's rule.
    inward,
};

// Whether group l of a row of `groups` entries is a local peak: its level at
// least each neighbour's (">=": of equal neighbours each is a peak); inner
// groups compare with the group either side, edge groups as edges says. A
// neighbour a tiny row does not have is left out. The caller holds the
// results lock when row is a result row.
inline bool is_local_peak(const ToneEntry *row, std::uint64_t groups, std::uint64_t l, PeakEdges edges)
{
    std::uint64_t first, second;
    if (l == 0) {
        if (edges == PeakEdges::strip)
            return false;
        first = 1;
        second = 2;
    } else if (l == groups - 1) {
        first = groups - 2;
        second = edges == PeakEdges::strip ? groups : groups - 3;  // strip: none above
    } else {
        first = l - 1;
        second = l + 1;
    }
    const auto at_least = [&](std::uint64_t n) { return n >= groups || row[l].level >= row[n].level; };
    return at_least(first) && at_least(second);
}
