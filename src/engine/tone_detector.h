// Tone detector: measures one semitone group of one job, or searches its
// 256 sub-steps for the strongest, or finds the job's fundamental
// (Engine::detect_task); the engine runs one detector thread per worker.
#pragma once

#include "engine/band_probe.h"
#include "engine/tone_level.h"
#include "engine/work_queue.h"

#include <cstdint>

class Engine;

// Count the measured tasks down against their jobs' measuring counts, as
// they go to collect_queue (its push_all_waking_if runs this under the
// queue's lock): true when one finished its job's pass, or belongs to a job
// whose count was never set, so that the collector is to be woken.
bool count_down_measured(BandTask *const *tasks, std::uint64_t count);

// A job's window seen through the engine's kernels at any band, for the
// choice of group and the fundamental: probe() measures by the path the
// detectors use, counting its samples in the engine's tone_samples_measured.
// Made by Engine::window_probe; the engine and the prepared window must
// outlive it, and it the BandProbe it hands out. Any thread.
class WindowProbe {
public:
    WindowProbe(const Engine &engine, const ToneWindow &window) : engine_(engine), window_(window)
    {
    }
    WindowProbe(const WindowProbe &) = delete;
    WindowProbe &operator=(const WindowProbe &) = delete;

    BandProbe probe() const;

private:
    static double step(double band, const void *context);
    static double magnitude(double step, std::uint64_t length, const void *context);

    const Engine &engine_;
    const ToneWindow &window_;  // the job's window, W samples
};

// A thread's prepared window, prepared again only when its job changes
// (jobs are reused, so the job's number tells, not its address).
class JobWindow {
public:
    const ToneWindow &of(const AnalysisJob &job, std::uint64_t length);

private:
    ToneWindow window_;
    std::uint64_t seq_ = 0;
    bool prepared_ = false;
};
