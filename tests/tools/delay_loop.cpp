// A JACK client "loop" that plays on loop:out what reached loop:in FRAMES
// frames earlier, until SIGINT or SIGTERM: the delaying path of
// scripts/soak.sh, in a process of its own so that Orvel's figures stay
// Orvel's. The server is JACK_DEFAULT_SERVER's.
//
//     orvel_delay_loop FRAMES
#include "support/jack_server.h"
#include "support/stop_signals.h"

#include <cstdio>
#include <cstdlib>

int main(int argc, char **argv)
{
    const long frames = argc == 2 ? std::atol(argv[1]) : 0;
    if (frames <= 0) {
        std::fprintf(stderr, "usage: orvel_delay_loop FRAMES\n");
        return 2;
    }
    const StopSignals stop;   // before JACK starts its threads
    DelayLine loop("loop", static_cast<std::size_t>(frames));
    if (!loop.ok()) {
        std::fprintf(stderr, "orvel_delay_loop: no JACK server\n");
        return 1;
    }
    stop.wait();
    return 0;
}
