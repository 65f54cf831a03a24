// One analysis as a whole: the engine, the sample exchange that feeds it and
// the block assembler between them, built and started in the one order they
// rely on. The program adds a generator and a JACK session on the same
// exchange; orvel-analyze, the tests and the benchmarks feed the exchange
// themselves, through the paced intake below.
//
// Paced intake: recorded sound into the analysis through the server's intake
// (SampleExchange::exchange), but at the pace of the analysis instead of the
// server's clock, so that no block is skipped. It stands in for the
// generator as well: the exchange keeps an input group only while playback
// has a sample, so the output rings are kept topped up with silence. One
// feeding thread, no real-time callback and no generator on the exchange.
#pragma once

#include "audio/block_assembler.h"
#include "audio/rate_conversion.h"
#include "engine/engine.h"

#include <cstdint>
#include <memory>

class Analysis {
public:
    explicit Analysis(const EngineConfig &config);
    ~Analysis();  // stops
    Analysis(const Analysis &) = delete;
    Analysis &operator=(const Analysis &) = delete;

    // The engine's threads, then the assembler's. stop() in the reverse
    // order, joining all of them; idempotent.
    void start();
    void stop();

    // The spectrum panel's Reset: zero input_history and correlation_sum,
    // then flush the input rings. Rows and counters stay. Main thread.
    void reset();

    // ---- paced intake (one feeding thread) ----
    // Frames per feed: the most, up to a server period of 256, that fill
    // whole groups of 48000 / engine rate frames, so a source that ends
    // leaves no half group behind for the next one.
    std::uint32_t paced_period() const;

    // Wait until (with keep_pace) no whole block waits on the input rings
    // and, when max_jobs_in_flight is not 0, the assembler has made the job
    // of every block it took and fewer than that many jobs are under way.
    void wait_for_feed_turn(bool keep_pace, std::uint64_t max_jobs_in_flight) EXCLUDES(exchange.ring_mutex);

    // Top the output rings up to two blocks ahead of playback, with what
    // next_output(k) says for engine sample k (counting from first) of
    // output 0 and 1, in ring units; returns how many samples were pushed.
    // Wakes nobody: the assembler needs a whole block, which
    // wake_assembler_if_block tells it of.
    template <typename Next>
    std::uint64_t top_up_outputs(std::uint64_t first, Next &&next_output) EXCLUDES(exchange.ring_mutex)
    {
        std::uint64_t k = first;
        MutexLock lock(exchange.ring_mutex);
        while (ring_fill(exchange.out_ring_0, RingReader::consumer) < OUTPUT_AHEAD
               && ring_free(exchange.out_ring_0, RingReader::tap) > 0
               && ring_free(exchange.out_ring_0, RingReader::consumer) > 0) {
            const auto [out_0, out_1] = next_output(k);
            ring_push(exchange.out_ring_0, out_0);
            ring_push(exchange.out_ring_1, out_1);
            k++;
        }
        return k - first;
    }

    // The server's callback wakes nobody; a feeder is not real-time, and the
    // assembler need not wait for its next look once a block is there.
    void wake_assembler_if_block() EXCLUDES(exchange.ring_mutex);

    // Feed nframes (at most paced_period()) input frames of input 1 and 2
    // (the analysis channels INPUT 0 and INPUT 1) through the exchange, after
    // wait_for_feed_turn(true, max_jobs_in_flight); silence plays meanwhile.
    // io_1 and io_2 are overwritten with what would have been played.
    void feed_paced(float *io_1, float *io_2, std::uint32_t nframes, std::uint64_t max_jobs_in_flight);

    // Wait until every whole block fed has made its job and every job has
    // completed: all rows are final.
    void wait_for_analysis() EXCLUDES(exchange.ring_mutex);

    // Start the next source afresh: after wait_for_analysis(), Reset, and
    // zero the result rows, so nothing of the last source decays into the
    // next one. Job numbers go on.
    void restart_analysis();

    Engine engine;
    SampleExchange exchange;
    BlockAssembler assembler;

private:
    // Whether a whole block waits on both input rings.
    bool input_block_waits() const REQUIRES(exchange.ring_mutex);

    static constexpr std::uint32_t OUTPUT_AHEAD = 2 * BLOCK_LEN;  // silence queued ahead, as a generator keeps
    bool started_ = false;
};

// Build an analysis for config and start it: the one start-up order, for the
// program, orvel-analyze, the tests and the benchmarks.
std::unique_ptr<Analysis> start_analysis(const EngineConfig &config);
