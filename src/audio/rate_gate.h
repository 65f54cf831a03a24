// The rate gate: whether the process callback moves audio through the sample
// rings. Orvel measures only at SERVER_RATE; at any other rate the samples
// would read as the wrong pitch and delay. So while the server runs at
// another rate the gate is shut: the callback plays silence and feeds the
// analysis nothing, and the gate opens again, on fresh rings, only once the
// rate is right and the callback has let go of the rings.
//
//   open --(rate != 48000, rate callback)--> shutting --(next period, callback)--> shut
//   shut --(rate == 48000, main thread: exchange_restart)--> open
#pragma once

#include "audio/rate_conversion.h"

#include <atomic>
#include <cstdint>

class RateGate {
public:
    explicit RateGate(SampleExchange &exchange) : exchange_(exchange) {}

    // The rate the server runs at, as its rate callback or the client's
    // open reports it. JACK's thread that calls the rate callback (or the
    // main thread); never the real-time one. A rate other than SERVER_RATE
    // shuts the gate.
    void server_rate(std::uint32_t rate);

    // The rate last reported, 0 before any. Any thread.
    std::uint32_t rate() const;

    // Real-time thread, once per period: true when this period may move
    // audio through the rings; false means play silence and leave the rings
    // alone. Lock-free, allocates nothing.
    bool pass();

    // Main thread: when the rate is SERVER_RATE again and the gate is shut,
    // restart the exchange on fresh rings (SampleExchange::restart) and open
    // the gate. Returns whether it opened the gate now.
    bool reopen();

    // Main thread, while no callback can run (before activating a client):
    // fresh rings, and the gate open or shut as rate requires.
    void restart(std::uint32_t rate);

private:
    enum State : int {
        OPEN = 0,      // the callback exchanges samples
        SHUTTING = 1,  // asked to shut; the callback may still be in an exchange
        SHUT = 2,      // the callback has seen it shut and leaves the rings alone
    };

    SampleExchange &exchange_;
    // Sequentially consistent: three threads move the gate, and the main
    // thread must not open it over a shutting that came in between its
    // checks. The callback pays one load per period. The callback's store of
    // SHUT releases its last ring indices to the main thread's restart; the
    // main thread's open releases the fresh rings to the callback.
    std::atomic<int> state_{OPEN};
    std::atomic<std::uint32_t> server_rate_{0};  // Hz, as last reported
};
