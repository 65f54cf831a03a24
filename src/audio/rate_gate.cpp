#include "audio/rate_gate.h"

#include "engine/engine_types.h"

void RateGate::server_rate(std::uint32_t rate)
{
    server_rate_.store(rate);
    // Even a shut gate goes back to shutting: the main thread, about to open
    // it on the rate it read before this one, then finds it no longer shut.
    // The callback shuts it again a period later.
    if (rate != static_cast<std::uint32_t>(SERVER_RATE))
        state_.store(SHUTTING);
}

std::uint32_t RateGate::rate() const
{
    return server_rate_.load();
}

bool RateGate::pass()
{
    const int state = state_.load();
    if (state == OPEN)
        return true;
    // Periods run one after another on this thread, so the exchange that
    // might have been under way when the gate began to shut is over.
    if (state == SHUTTING)
        state_.store(SHUT);
    return false;
}

bool RateGate::reopen()
{
    if (state_.load() != SHUT || server_rate_.load() != static_cast<std::uint32_t>(SERVER_RATE))
        return false;
    exchange_.restart();
    // A rate change that came in meanwhile left the gate shutting: it stays so.
    int expected = SHUT;
    return state_.compare_exchange_strong(expected, OPEN);
}

void RateGate::restart(std::uint32_t rate)
{
    server_rate_.store(rate);
    exchange_.restart();
    state_.store(rate == static_cast<std::uint32_t>(SERVER_RATE) ? OPEN : SHUT);
}
