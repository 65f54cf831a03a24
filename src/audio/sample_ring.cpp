#include "audio/sample_ring.h"

#include <algorithm>
#include <cstring>

namespace {

std::atomic<std::uint32_t> &reader_index(SampleRing &ring, RingReader reader)
{
    return ring.read_index[static_cast<int>(reader)];
}

const std::atomic<std::uint32_t> &reader_index(const SampleRing &ring, RingReader reader)
{
    return ring.read_index[static_cast<int>(reader)];
}

std::uint32_t advance(std::uint32_t index, std::uint32_t n)
{
    return (index + n) % RING_SIZE;
}

}  // namespace

std::uint32_t ring_fill(const SampleRing &ring, RingReader reader)
{
    const std::uint32_t written = ring.write_index.load(std::memory_order_acquire);
    const std::uint32_t read = reader_index(ring, reader).load(std::memory_order_acquire);
    return (written + RING_SIZE - read) % RING_SIZE;
}

std::uint32_t ring_free(const SampleRing &ring, RingReader reader)
{
    const std::uint32_t written = ring.write_index.load(std::memory_order_acquire);
    const std::uint32_t read = reader_index(ring, reader).load(std::memory_order_acquire);
    return (read + RING_SIZE - 1 - written) % RING_SIZE;
}

void ring_push(SampleRing &ring, double x)
{
    const std::uint32_t at = ring.write_index.load(std::memory_order_relaxed);
    ring.values[at] = x;
    ring.write_index.store(advance(at, 1), std::memory_order_release);
}

void ring_push_block(SampleRing &ring, const double *src, std::uint32_t n)
{
    const std::uint32_t at = ring.write_index.load(std::memory_order_relaxed);
    const std::uint32_t first = std::min(n, RING_SIZE - at);
    std::memcpy(ring.values + at, src, first * sizeof(double));
    std::memcpy(ring.values, src + first, (n - first) * sizeof(double));
    ring.write_index.store(advance(at, n), std::memory_order_release);
}

double ring_pop(SampleRing &ring, RingReader reader)
{
    std::atomic<std::uint32_t> &index = reader_index(ring, reader);
    const std::uint32_t at = index.load(std::memory_order_relaxed);
    const double x = ring.values[at];
    index.store(advance(at, 1), std::memory_order_release);
    return x;
}

void ring_pop_block(SampleRing &ring, RingReader reader, double *dst, std::uint32_t n)
{
    std::atomic<std::uint32_t> &index = reader_index(ring, reader);
    const std::uint32_t at = index.load(std::memory_order_relaxed);
    const std::uint32_t first = std::min(n, RING_SIZE - at);
    std::memcpy(dst, ring.values + at, first * sizeof(double));
    std::memcpy(dst + first, ring.values, (n - first) * sizeof(double));
    index.store(advance(at, n), std::memory_order_release);
}

std::uint32_t ring_skip(SampleRing &ring, RingReader reader, std::uint32_t n)
{
    const std::uint32_t step = std::min(n, ring_fill(ring, reader));
    std::atomic<std::uint32_t> &index = reader_index(ring, reader);
    index.store(advance(index.load(std::memory_order_relaxed), step), std::memory_order_release);
    return step;
}

void ring_catch_up(SampleRing &ring, RingReader reader, RingReader ahead)
{
    reader_index(ring, reader).store(reader_index(ring, ahead).load(std::memory_order_acquire), std::memory_order_release);
}
