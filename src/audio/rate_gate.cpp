#include "audio/rate_gate.h"

#include "audio/rate_conversion.h"
#include "engine/engine_state.h"

#include <atomic>

namespace {

enum GateState : int {
    GATE_OPEN = 0,      // the callback exchanges samples
    GATE_SHUTTING = 1,  // asked to shut; the callback may still be in an exchange
    GATE_SHUT = 2,      // the callback has seen it shut and leaves the rings alone
};

// Sequentially consistent: three threads move the gate, and the main thread
// must not open it over a shutting that came in between its checks. The
// callback pays one load per period. The callback's store of GATE_SHUT
// releases its last ring indices to the main thread's restart; the main
// thread's open releases the fresh rings to the callback.
std::atomic<int> gate{GATE_OPEN};
std::atomic<std::uint32_t> server_rate{0};  // Hz, as last reported

}  // namespace

void rate_gate_server_rate(std::uint32_t rate)
{
    server_rate.store(rate);
    // Even a shut gate goes back to shutting: the main thread, about to open
    // it on the rate it read before this one, then finds it no longer shut.
    // The callback shuts it again a period later.
    if (rate != static_cast<std::uint32_t>(SERVER_RATE))
        gate.store(GATE_SHUTTING);
}

std::uint32_t rate_gate_rate()
{
    return server_rate.load();
}

bool rate_gate_pass()
{
    const int state = gate.load();
    if (state == GATE_OPEN)
        return true;
    // Periods run one after another on this thread, so the exchange that
    // might have been under way when the gate began to shut is over.
    if (state == GATE_SHUTTING)
        gate.store(GATE_SHUT);
    return false;
}

bool rate_gate_reopen()
{
    if (gate.load() != GATE_SHUT || server_rate.load() != static_cast<std::uint32_t>(SERVER_RATE))
        return false;
    exchange_restart();
    // A rate change that came in meanwhile left the gate shutting: it stays so.
    int expected = GATE_SHUT;
    return gate.compare_exchange_strong(expected, GATE_OPEN);
}

void rate_gate_restart(std::uint32_t rate)
{
    server_rate.store(rate);
    exchange_restart();
    gate.store(rate == static_cast<std::uint32_t>(SERVER_RATE) ? GATE_OPEN : GATE_SHUT);
}
