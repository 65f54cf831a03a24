// The block assembler: the first stage of the analysis pipeline, one thread.
// It waits until all four rings of its SampleExchange hold a block of 1024
// new samples, forms the six analysis channels and hands the engine the
// main and the correlated channel (Engine::accept_block).
//
// The exchange's ring_mutex guards the assembler's ring readers (the input
// rings' consumer and the output rings' tap) and its waiting flag.
#pragma once

#include "audio/rate_conversion.h"
#include "engine/engine.h"

#include <cstdint>
#include <thread>

class BlockAssembler {
public:
    BlockAssembler(Engine &engine, SampleExchange &exchange) : engine_(engine), exchange_(exchange) {}
    ~BlockAssembler() { stop(); }
    BlockAssembler(const BlockAssembler &) = delete;
    BlockAssembler &operator=(const BlockAssembler &) = delete;

    // Start the thread ("orvel-assembler"); stop ends and joins it.
    void start();
    void stop() EXCLUDES(exchange_.ring_mutex);

    // True while the assembler waits for a whole block on every ring: every
    // block it could take has become a job (or a skipped block).
    bool waiting() const REQUIRES(exchange_.ring_mutex) { return waiting_; }

    // Tells the lock checks that the caller, holding its exchange's
    // ring_mutex under the exchange's own name, holds the one named here.
    void holds_ring_mutex() const ASSERT_CAPABILITY(exchange_.ring_mutex) {}

    // Whether a whole block waits on every ring for the assembler.
    bool block_ready() const REQUIRES(exchange_.ring_mutex);

    // Drop the samples the assembler has not yet taken from the input rings,
    // and as many from its tap on the output rings so the two stay paired.
    // Any thread but the real-time one; takes ring_mutex and broadcasts.
    void flush_input_rings() EXCLUDES(exchange_.ring_mutex);

    // Caller holds ring_mutex: pass the tap over the samples whose input
    // partner the real-time side dropped.
    void skip_unpaired_tap_samples() REQUIRES(exchange_.ring_mutex);

private:
    void run();
    std::uint32_t block_missing() const REQUIRES(exchange_.ring_mutex);
    std::uint32_t tap_fill() const REQUIRES(exchange_.ring_mutex);
    bool generator_to_wake() const REQUIRES(exchange_.ring_mutex);
    void wake_after_tap_moved(bool wake_generator) EXCLUDES(exchange_.ring_mutex);
    void take_block() REQUIRES(exchange_.ring_mutex);
    void skip_tap(std::uint32_t n) REQUIRES(exchange_.ring_mutex);

    Engine &engine_;
    SampleExchange &exchange_;
    bool waiting_ GUARDED_BY(exchange_.ring_mutex) = false;
    bool stopping_ GUARDED_BY(exchange_.ring_mutex) = false;
    double chan_block_[CHANNEL_COUNT][BLOCK_LEN] = {};  // the latest block, assembler thread only
    std::thread thread_;
};
