#include "support/loop_measure.h"

#include "support/engine_fixture.h"

#include "engine/readout.h"

#include <jack/jack.h>

#include <string>

bool patch_delay_loop(DelayLine &loop)
{
    const std::string name = jack_get_client_name(loop.peer.client());
    return loop.peer.disconnect("system:capture_1", "orvel:input_1")
           && loop.peer.connect("orvel:output_1", name + ":in")
           && loop.peer.connect(name + ":out", "orvel:input_1");
}

bool wait_for_looped_window(Analysis &analysis)
{
    // Blocks still waiting in the ring hold older sound, and so may a block
    // the assembler has begun: they become jobs before the looped sound does.
    std::uint64_t backlog;
    {
        MutexLock lock(analysis.exchange.ring_mutex);
        backlog = ring_fill(analysis.exchange.in_ring_0, RingReader::consumer) / BLOCK_LEN + 1;
    }
    Engine &engine = analysis.engine;
    const std::uint64_t looped = engine.job_counts().submitted + backlog + engine.window_size() / BLOCK_LEN + 2;
    return wait_for_completed(engine, looped);
}

std::uint64_t correlation_peak_delay(const Engine &engine)
{
    std::uint64_t strongest = 0;
    engine.read_results([&strongest](const ResultView &view) {
        strongest = index_extremes(view.correlation_sum, 0, view.window_size - 1).imax;
    });
    return delay_of_index(strongest, engine.window_size());
}
