#include "audio/sample_ring.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <random>
#include <thread>
#include <vector>

namespace {

constexpr double UNTOUCHED = -1.0;

// A ring whose writer and both readers stand at slot start, every slot UNTOUCHED.
std::unique_ptr<SampleRing> ring_at(std::uint32_t start)
{
    auto ring = std::make_unique<SampleRing>();
    for (double &v : ring->values)
        v = UNTOUCHED;
    ring->write_index = start;
    ring->read_index[0] = start;
    ring->read_index[1] = start;
    return ring;
}

}  // namespace

TEST(SampleRing, EmptyAndFullForEachReader)
{
    auto ring = ring_at(0);
    for (RingReader reader : {RingReader::consumer, RingReader::tap}) {
        EXPECT_EQ(ring_fill(*ring, reader), 0u);
        EXPECT_EQ(ring_free(*ring, reader), RING_SIZE - 1);
    }
    for (std::uint32_t i = 0; i < RING_SIZE - 1; i++)
        ring_push(*ring, i);
    EXPECT_EQ(ring_free(*ring, RingReader::consumer), 0u);
    // Readers are independent: one taking everything frees room for it alone.
    std::vector<double> taken(RING_SIZE - 1);
    ring_pop_block(*ring, RingReader::consumer, taken.data(), RING_SIZE - 1);
    EXPECT_EQ(taken.back(), RING_SIZE - 2.0);
    EXPECT_EQ(ring_fill(*ring, RingReader::consumer), 0u);
    EXPECT_EQ(ring_free(*ring, RingReader::consumer), RING_SIZE - 1);
    EXPECT_EQ(ring_fill(*ring, RingReader::tap), RING_SIZE - 1);
    EXPECT_EQ(ring_free(*ring, RingReader::tap), 0u);
}

// Rings that start just before the wrap: single values and blocks cross the
// seam in order, and nothing outside the pushed slots is written.
TEST(SampleRing, ValuesAndBlocksCrossTheSeam)
{
    struct Case {
        std::uint32_t start;  // where the writer and readers begin
        std::uint32_t n;      // values pushed and popped
    };
    const Case cases[] = {{RING_SIZE - 1, 2}, {RING_SIZE - 3, 7}, {RING_SIZE - 1024, 1024},
                          {RING_SIZE - 1000, 1024}, {RING_SIZE - 1, RING_SIZE - 1}, {0, RING_SIZE - 1}};
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "start " << c.start << ", n " << c.n);
        std::vector<double> src(c.n);
        for (std::uint32_t i = 0; i < c.n; i++)
            src[i] = 1000.0 + i;

        auto blocks = ring_at(c.start);
        ring_push_block(*blocks, src.data(), c.n);
        for (std::uint32_t slot = 0; slot < RING_SIZE; slot++) {
            const std::uint32_t offset = (slot + RING_SIZE - c.start) % RING_SIZE;
            ASSERT_EQ(blocks->values[slot], offset < c.n ? src[offset] : UNTOUCHED) << slot;
        }
        // One slot past the end of the destination must stay as it was.
        std::vector<double> dst(c.n + 1, UNTOUCHED);
        ring_pop_block(*blocks, RingReader::consumer, dst.data(), c.n);
        EXPECT_EQ(std::vector<double>(dst.begin(), dst.end() - 1), src);
        EXPECT_EQ(dst.back(), UNTOUCHED);
        EXPECT_EQ(ring_fill(*blocks, RingReader::consumer), 0u);
        EXPECT_EQ(ring_fill(*blocks, RingReader::tap), c.n);

        auto singles = ring_at(c.start);
        for (double v : src)
            ring_push(*singles, v);
        for (double v : src)
            ASSERT_EQ(ring_pop(*singles, RingReader::tap), v);
        EXPECT_EQ(ring_fill(*singles, RingReader::tap), 0u);
    }
}

TEST(SampleRing, SkipStopsAtTheWriter)
{
    auto ring = ring_at(RING_SIZE - 2);
    for (int i = 0; i < 5; i++)
        ring_push(*ring, i);
    EXPECT_EQ(ring_skip(*ring, RingReader::tap, 3), 3u);
    EXPECT_EQ(ring_pop(*ring, RingReader::tap), 3.0);
    EXPECT_EQ(ring_skip(*ring, RingReader::tap, 100), 1u);
    EXPECT_EQ(ring_fill(*ring, RingReader::tap), 0u);
    EXPECT_EQ(ring_fill(*ring, RingReader::consumer), 5u);
}

// One writer and two readers on threads of their own, each side moving in
// random steps within what ring_free / ring_fill allow: every reader must see
// the writer's counter in order, with nothing lost, repeated or torn.
TEST(SampleRing, ThreeThreadStressAgainstACounter)
{
    constexpr std::uint64_t COUNT = 2000000;
    auto ring = ring_at(RING_SIZE - 17);

    std::thread writer([&ring] {
        std::mt19937 random(1);
        std::vector<double> block(RING_SIZE);
        std::uint64_t next = 0;
        while (next < COUNT) {
            const std::uint32_t room = std::min(ring_free(*ring, RingReader::consumer), ring_free(*ring, RingReader::tap));
            const std::uint32_t n = std::min<std::uint64_t>({room, random() % 700, COUNT - next});
            for (std::uint32_t i = 0; i < n; i++)
                block[i] = static_cast<double>(next + i);
            if (n == 1)
                ring_push(*ring, block[0]);
            else
                ring_push_block(*ring, block.data(), n);
            next += n;
        }
    });
    auto read_all = [&ring](RingReader reader, unsigned seed, std::uint64_t &mismatches) {
        std::mt19937 random(seed);
        std::vector<double> block(RING_SIZE);
        std::uint64_t expected = 0;
        while (expected < COUNT) {
            const std::uint32_t n = std::min<std::uint32_t>(ring_fill(*ring, reader), random() % 900);
            ring_pop_block(*ring, reader, block.data(), n);
            for (std::uint32_t i = 0; i < n; i++, expected++)
                mismatches += block[i] != static_cast<double>(expected);
        }
    };
    std::uint64_t consumer_mismatches = 0;
    std::uint64_t tap_mismatches = 0;
    std::thread consumer([&] { read_all(RingReader::consumer, 2, consumer_mismatches); });
    std::thread tap([&] { read_all(RingReader::tap, 3, tap_mismatches); });
    writer.join();
    consumer.join();
    tap.join();
    EXPECT_EQ(consumer_mismatches, 0u);
    EXPECT_EQ(tap_mismatches, 0u);
    EXPECT_EQ(ring_fill(*ring, RingReader::consumer), 0u);
    EXPECT_EQ(ring_fill(*ring, RingReader::tap), 0u);
}
