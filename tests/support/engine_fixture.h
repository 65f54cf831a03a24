// Brings an analysis up without a sound server, and stands in for the
// server thread and the generator.
#pragma once

#include "audio/analysis.h"
#include "audio/rate_gate.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

// An analysis for rate, a -w request and workers, started as the program
// starts it (start_analysis).
std::unique_ptr<Analysis> start_test_analysis(int rate, std::int64_t window_request = 0, int workers = 2);

// Plays the part of the sound server and the generator on an analysis's
// exchange: feeds periods of frames through it and keeps the output rings
// topped up.
class ServerStandIn {
public:
    explicit ServerStandIn(Analysis &analysis) : analysis_(analysis) {}

    // Input frame f of input 0 / 1, given everything played so far.
    std::function<float(std::uint64_t frame)> input_0 = [](std::uint64_t) { return 0.0f; };
    std::function<float(std::uint64_t frame)> input_1 = [](std::uint64_t) { return 0.0f; };
    // Engine sample k pushed onto out_ring_0 / out_ring_1, in ring units.
    std::function<double(std::uint64_t k)> output_0 = [](std::uint64_t) { return 0.0; };
    std::function<double(std::uint64_t k)> output_1 = [](std::uint64_t) { return 0.0; };

    std::uint32_t period = 256;     // frames per exchange call
    // Hold back while a whole block waits for the assembler, as a server
    // whose assembler keeps up would; feeding flat out could starve it.
    bool keep_pace = true;
    std::uint64_t max_jobs_in_flight = 0;  // when not 0, hold back while this many are under way
    bool real_time = false;          // pace the periods at the server rate, as a real server does
    // When set, ask this rate gate each period as the process callback does,
    // and play silence without exchanging while it is shut.
    RateGate *gate = nullptr;
    // Keep what was played (played_0, played_1); a long benchmark run would
    // spend its time growing them.
    bool keep_played = true;

    // Run this many server frames (a multiple of period).
    void run(std::uint64_t frames);

    std::uint64_t frames_done() const { return frame_; }
    // Everything played on output_1 / output_2 so far, one entry per frame.
    const std::vector<float> &played_0() const { return played_0_; }
    const std::vector<float> &played_1() const { return played_1_; }

private:
    Analysis &analysis_;
    std::uint64_t frame_ = 0;
    std::chrono::steady_clock::time_point started_;
    std::uint64_t generated_ = 0;
    std::vector<float> played_0_;
    std::vector<float> played_1_;
};

// Wait until done(counts) holds for the engine's job counts; false on
// time-out.
bool wait_for_jobs(Engine &engine, const std::function<bool(const JobCounts &)> &done, int timeout_ms = 60000);

// Wait until the engine has completed at least count jobs; false on time-out.
bool wait_for_completed(Engine &engine, std::uint64_t count, int timeout_ms = 60000);

// Wait until the assembler has made every block it can and every job it made
// has completed; returns false on time-out.
bool wait_for_quiet(Analysis &analysis, int timeout_ms = 60000);
