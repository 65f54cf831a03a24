// Tone detector: measures one semitone group of one job, or searches its
// 256 sub-steps for the strongest (Engine::detect_task); the engine runs
// one detector thread per worker.
#pragma once

#include "engine/work_queue.h"

#include <cstdint>

// Count the measured tasks down against their jobs' measuring counts, as
// they go to collect_queue (its push_all_waking_if runs this under the
// queue's lock): true when one finished its job's pass, or belongs to a job
// whose count was never set, so that the collector is to be woken.
bool count_down_measured(BandTask *const *tasks, std::uint64_t count);
