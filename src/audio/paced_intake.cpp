#include "audio/paced_intake.h"

#include "audio/block_assembler.h"
#include "audio/rate_conversion.h"
#include "engine/engine_state.h"
#include "engine/pitch.h"

#include <cstring>

namespace {

constexpr std::uint32_t SERVER_PERIOD = 256;
// Silence queued ahead of playback: two blocks, as a generator keeps.
constexpr std::uint32_t OUTPUT_AHEAD = 2 * BLOCK_LEN;

// Caller holds audio_mutex.
void top_up_silence()
{
    while (ring_fill(out_ring_0, RingReader::consumer) < OUTPUT_AHEAD && ring_free(out_ring_0, RingReader::tap) > 0
           && ring_free(out_ring_0, RingReader::consumer) > 0) {
        ring_push(out_ring_0, 0.0);
        ring_push(out_ring_1, 0.0);
    }
}

// Caller holds audio_mutex.
bool block_waits()
{
    return ring_fill(in_ring_0, RingReader::consumer) >= BLOCK_LEN && ring_fill(in_ring_1, RingReader::consumer) >= BLOCK_LEN;
}

}  // namespace

std::uint32_t paced_period()
{
    const auto group = static_cast<std::uint32_t>(SERVER_RATE / sample_rate);
    return SERVER_PERIOD / group * group;
}

void feed_paced(float *io_1, float *io_2, std::uint32_t nframes, std::uint64_t max_jobs_in_flight)
{
    audio_lock();
    top_up_silence();
    // A block the assembler has taken counts only once its job is made:
    // wait for the assembler to be idle again before counting jobs.
    while (block_waits() || !assembler_waiting || jobs_submitted - jobs_completed >= max_jobs_in_flight)
        audio_wait_for(AUDIO_POLL_US);
    audio_unlock();
    exchange_samples(io_1, io_2, nframes);
    // The server's callback wakes nobody; here nothing is real-time, and the
    // assembler need not wait for its next look once a block is there.
    audio_lock();
    if (block_waits())
        audio_wakeup();
    audio_unlock();
}

void wait_for_analysis()
{
    audio_lock();
    while (block_waits() || !assembler_waiting || jobs_completed != jobs_submitted)
        audio_wait_for(AUDIO_POLL_US);
    audio_unlock();
}

void restart_analysis()
{
    analysis_reset();
    result_lock();
    std::memset(static_cast<void *>(tone_rows), 0, result_row_count * group_count() * sizeof(ToneEntry));
    std::memset(static_cast<void *>(pitch_class_rows), 0, result_row_count * PITCH_CLASS_COUNT * sizeof(PitchClassPeak));
    std::memset(static_cast<void *>(correlation_rows), 0, result_row_count * sizeof(CorrelationPeak));
    result_unlock();
}
