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

#include <cstdint>

// The rate the server runs at, as its rate callback or audio_open reports
// it. JACK's thread that calls the rate callback (or the main thread); never
// the real-time one. A rate other than SERVER_RATE shuts the gate.
void rate_gate_server_rate(std::uint32_t rate);

// The rate last reported, 0 before any. Any thread.
std::uint32_t rate_gate_rate();

// Real-time thread, once per period: true when this period may move audio
// through the rings; false means play silence and leave the rings alone.
// Lock-free, allocates nothing.
bool rate_gate_pass();

// Main thread: when the rate is SERVER_RATE again and the gate is shut,
// restart the exchange on fresh rings (exchange_restart, under audio_mutex)
// and open the gate. Returns whether it opened the gate now.
bool rate_gate_reopen();

// Main thread, while no callback can run (before activating a client): fresh
// rings, and the gate open or shut as rate requires.
void rate_gate_restart(std::uint32_t rate);
