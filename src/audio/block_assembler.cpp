#include "audio/block_assembler.h"


#include <algorithm>
#include <chrono>

// How many samples the four rings still lack for a block; 0 when it is there.
std::uint32_t BlockAssembler::block_missing() const
{
    const std::uint32_t fill = std::min({tap_fill(),
                                         ring_fill(exchange_.in_ring_0, RingReader::consumer),
                                         ring_fill(exchange_.in_ring_1, RingReader::consumer)});
    return fill >= BLOCK_LEN ? 0 : BLOCK_LEN - fill;
}

std::uint32_t BlockAssembler::tap_fill() const
{
    return std::min(ring_fill(exchange_.out_ring_0, RingReader::tap), ring_fill(exchange_.out_ring_1, RingReader::tap));
}

// After the tap moved: whether it moved far enough for a waiting generator.
bool BlockAssembler::generator_to_wake() const
{
    const std::uint32_t wanted = exchange_.generator_wants_tap_room;
    return wanted != 0 && std::min(ring_free(exchange_.out_ring_0, RingReader::tap),
                                   ring_free(exchange_.out_ring_1, RingReader::tap)) >= wanted;
}

// After the tap moved, outside ring_mutex: the generator, if it waited for
// room behind the tap, and the feeders.
void BlockAssembler::wake_after_tap_moved(bool wake_generator)
{
    exchange_.ring_changed.broadcast();
    if (wake_generator)
        exchange_.tap_moved.broadcast();
}

bool BlockAssembler::block_ready() const
{
    return block_missing() == 0;
}

// Under ring_mutex: only the four copies.
void BlockAssembler::take_block()
{
    ring_pop_block(exchange_.in_ring_0, RingReader::consumer, chan_block_[CHANNEL_INPUT_0], BLOCK_LEN);
    ring_pop_block(exchange_.in_ring_1, RingReader::consumer, chan_block_[CHANNEL_INPUT_1], BLOCK_LEN);
    ring_pop_block(exchange_.out_ring_0, RingReader::tap, chan_block_[CHANNEL_OUTPUT_0], BLOCK_LEN);
    ring_pop_block(exchange_.out_ring_1, RingReader::tap, chan_block_[CHANNEL_OUTPUT_1], BLOCK_LEN);
}

void BlockAssembler::skip_tap(std::uint32_t n)
{
    ring_skip(exchange_.out_ring_0, RingReader::tap, n);
    ring_skip(exchange_.out_ring_1, RingReader::tap, n);
}

void BlockAssembler::skip_unpaired_tap_samples()
{
    if (const std::uint32_t n = exchange_.take_unpaired_tap_samples())
        skip_tap(n);
}

void BlockAssembler::flush_input_rings()
{
    bool wake_generator;
    {
        MutexLock lock(exchange_.ring_mutex);
        skip_unpaired_tap_samples();
        // The real-time side may be between its two pushes of a group: take
        // whole groups only, so the two inputs and the tap stay in step.
        const std::uint32_t n = std::min(ring_fill(exchange_.in_ring_0, RingReader::consumer),
                                         ring_fill(exchange_.in_ring_1, RingReader::consumer));
        ring_skip(exchange_.in_ring_0, RingReader::consumer, n);
        ring_skip(exchange_.in_ring_1, RingReader::consumer, n);
        skip_tap(n);
        wake_generator = generator_to_wake();
    }
    wake_after_tap_moved(wake_generator);
}

void BlockAssembler::start()
{
    thread_ = start_named_thread("orvel-assembler", [this] { run(); });
}

void BlockAssembler::stop()
{
    if (!thread_.joinable())
        return;
    {
        MutexLock lock(exchange_.ring_mutex);
        stopping_ = true;
    }
    exchange_.ring_changed.broadcast();
    thread_.join();
}

void BlockAssembler::run()
{
    for (;;) {
        bool wake_generator;
        {
            MutexLock lock(exchange_.ring_mutex);
            for (;;) {
                if (stopping_)
                    return;
                skip_unpaired_tap_samples();
                const std::uint32_t missing = block_missing();
                if (missing == 0)
                    break;
                if (!waiting_) {
                    // Whoever feeds blocks at the pace of the jobs learns at
                    // once that this block's job is made.
                    waiting_ = true;
                    exchange_.ring_changed.broadcast();
                }
                exchange_.assembler_waits_for_tap = tap_fill() < BLOCK_LEN;
                exchange_.ring_changed.wait_for(exchange_.ring_mutex, std::chrono::microseconds(exchange_.poll_us(missing)));
            }
            exchange_.assembler_waits_for_tap = false;
            waiting_ = false;
            take_block();
            wake_generator = generator_to_wake();
        }
        wake_after_tap_moved(wake_generator);
        if (engine_.analysis_frozen())
            continue;
        for (std::uint32_t k = 0; k < BLOCK_LEN; k++) {
            chan_block_[CHANNEL_INPUT_SUM][k] = chan_block_[CHANNEL_INPUT_1][k] + chan_block_[CHANNEL_INPUT_0][k];
            chan_block_[CHANNEL_OUTPUT_SUM][k] = chan_block_[CHANNEL_OUTPUT_1][k] + chan_block_[CHANNEL_OUTPUT_0][k];
        }
        engine_.accept_block(chan_block_[engine_.main_channel()], chan_block_[engine_.corr_channel()]);
    }
}
