// One job's tone analysis without the pipeline's threads: on an engine that
// is never started, the detectors' and the collector's own stage functions
// run in turn on a window of samples, so a test or the accuracy report sees
// what a row would say.
#pragma once

#include "engine/engine.h"
#include "engine/fundamental.h"

#include <cstdint>
#include <vector>

struct OfflineRow {
    std::vector<double> levels;      // the coarse pass's stored level per group
    std::int64_t readout_band;       // the note read-out's band, as block_result picks it
    int readout_class;               // its pitch class: the strip's column
    FundamentalReading fundamental;  // the row's, found by its own task; none without it
};

// Analyse engine.window_size() samples (the job's window, oldest first) as
// the next job of engine, which must not be started: its collector's row
// and pitch-class peaks give the read-out (with the engine's decay, off
// unless set), and its fundamental task, run unless with_fundamental is
// false, the fundamental. The caller's thread plays every stage; allocates.
// Ends the process when memory is short.
OfflineRow analyse_window(Engine &engine, const double *samples, bool with_fundamental = true);
