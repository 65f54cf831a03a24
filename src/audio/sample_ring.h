// A fixed ring of samples with one writer and two readers, each of which
// reads every value. Single producer, single consumer per reader: the
// indices are atomics, so the real-time side never takes a lock.
//
// Who holds what:
//   write_index     moved by the writer only (release after the values are
//                   stored); readers load it with acquire.
//   read_index[r]   moved by reader r's owner only (release after the values
//                   are read); the writer loads it with acquire before it
//                   overwrites slots. Where two threads act as one reader,
//                   they share a lock (the exchange's ring_mutex for the
//                   assembler's side).
// A reader that is never used on a ring stays where it is; only the readers a
// writer checks with ring_free hold it back.
#pragma once

#include <atomic>
#include <cstdint>

constexpr std::uint32_t RING_SIZE = 5120;      // slots; one always stays empty, so 5119 samples at most
constexpr double FULL_SCALE = 2147483392.0;    // ring value of a server sample of 1.0 (2^31 - 256, exact in float)

// The two readers of a ring, by role.
enum class RingReader : int {
    consumer = 0,  // takes the samples for good: playback on an output ring, the assembler on an input ring
    tap = 1,       // a second look at what was played: the assembler's analysis tap on an output ring
};

struct SampleRing {
    double values[RING_SIZE];                 // ring units
    std::atomic<std::uint32_t> write_index;   // next slot the writer fills
    std::atomic<std::uint32_t> read_index[2]; // next slot each reader takes, by RingReader
};

// Samples reader has not taken yet, 0 when it has caught up. Either side.
std::uint32_t ring_fill(const SampleRing &ring, RingReader reader);
// Pushes the writer may make before it would overtake reader, 0 when full
// for that reader. Either side.
std::uint32_t ring_free(const SampleRing &ring, RingReader reader);

// Writer only. The caller checks ring_free first: a push into a full ring
// overwrites what a reader has not taken.
void ring_push(SampleRing &ring, double x);
void ring_push_block(SampleRing &ring, const double *src, std::uint32_t n);

// Reader's owner only. The caller checks ring_fill first: a pop from an empty
// ring returns stale values and overtakes the writer.
double ring_pop(SampleRing &ring, RingReader reader);
void ring_pop_block(SampleRing &ring, RingReader reader, double *dst, std::uint32_t n);

// Reader's owner only: pass over up to n samples without reading them;
// returns how many were passed (at most ring_fill).
std::uint32_t ring_skip(SampleRing &ring, RingReader reader, std::uint32_t n);

// Reader's owner only, while the owner of ahead moves nothing: put reader
// where ahead stands, passing over what lies between. ahead must not be
// behind reader (on an output ring the tap never passes playback).
void ring_catch_up(SampleRing &ring, RingReader reader, RingReader ahead);
