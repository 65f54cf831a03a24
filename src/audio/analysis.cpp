#include "audio/analysis.h"

#include <chrono>
#include <utility>

namespace {

constexpr std::uint32_t SERVER_PERIOD = 256;

}  // namespace

Analysis::Analysis(const EngineConfig &config) : engine(config), exchange(config.sample_rate), assembler(engine, exchange)
{
}

Analysis::~Analysis()
{
    stop();
}

void Analysis::start()
{
    if (started_)
        return;
    started_ = true;
    // The engine's stages wait on their empty queues before the first block.
    engine.start();
    assembler.start();
}

void Analysis::stop()
{
    assembler.stop();
    engine.stop();
}

void Analysis::reset()
{
    engine.reset_history_and_correlation();
    assembler.flush_input_rings();
}

std::uint32_t Analysis::paced_period() const
{
    const auto group = static_cast<std::uint32_t>(exchange.rate_div());
    return SERVER_PERIOD / group * group;
}

bool Analysis::input_block_waits() const
{
    return ring_fill(exchange.in_ring_0, RingReader::consumer) >= BLOCK_LEN
        && ring_fill(exchange.in_ring_1, RingReader::consumer) >= BLOCK_LEN;
}

void Analysis::wait_for_feed_turn(bool keep_pace, std::uint64_t max_jobs_in_flight)
{
    {
        // A block the assembler has taken counts only once its job is made:
        // wait for the assembler to be idle again before counting jobs.
        MutexLock lock(exchange.ring_mutex);
        assembler.holds_ring_mutex();
        while ((keep_pace && input_block_waits()) || (max_jobs_in_flight != 0 && !assembler.waiting()))
            exchange.ring_changed.wait_for(exchange.ring_mutex, std::chrono::microseconds(AUDIO_POLL_US));
    }
    // Nothing is fed meanwhile, so the assembler stays idle while jobs complete.
    if (max_jobs_in_flight != 0)
        engine.wait_until_in_flight_below(max_jobs_in_flight);
}

void Analysis::wake_assembler_if_block()
{
    MutexLock lock(exchange.ring_mutex);
    if (input_block_waits())
        exchange.ring_changed.broadcast();
}

void Analysis::feed_paced(float *io_1, float *io_2, std::uint32_t nframes, std::uint64_t max_jobs_in_flight)
{
    top_up_outputs(0, [](std::uint64_t) { return std::pair{0.0, 0.0}; });
    wait_for_feed_turn(true, max_jobs_in_flight);
    exchange.exchange(io_1, io_2, nframes);
    wake_assembler_if_block();
}

void Analysis::wait_for_analysis()
{
    wait_for_feed_turn(true, 0);
    {
        MutexLock lock(exchange.ring_mutex);
        assembler.holds_ring_mutex();
        while (!assembler.waiting())
            exchange.ring_changed.wait_for(exchange.ring_mutex, std::chrono::microseconds(AUDIO_POLL_US));
    }
    engine.wait_until_all_completed();
}

void Analysis::restart_analysis()
{
    reset();
    engine.clear_rows();
}

std::unique_ptr<Analysis> start_analysis(const EngineConfig &config)
{
    auto analysis = std::make_unique<Analysis>(config);
    analysis->start();
    return analysis;
}
