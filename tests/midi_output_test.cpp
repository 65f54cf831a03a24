#include "audio/midi_output.h"
#include "engine/engine_state.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using Message = std::array<std::uint8_t, MIDI_MESSAGE_BYTES>;
using namespace std::chrono_literals;

constexpr auto POLL = 100us;     // a fast server period; the sender never waits on it
constexpr auto PATIENCE = 20s;   // generous, so sanitizer builds never time out
// Long enough that a sender which did not wait for the take would have moved on.
constexpr auto LINGER = 20ms;

int queue_len()
{
    audio_lock();
    const int len = midi_queue_len;
    audio_unlock();
    return len;
}

// The message the sender has handed over, once there is one, left in place.
Message wait_pending()
{
    const Clock::time_point deadline = Clock::now() + PATIENCE;
    for (;;) {
        audio_lock();
        if (midi_pending_len == MIDI_MESSAGE_BYTES) {
            const Message m = {midi_pending[0], midi_pending[1], midi_pending[2]};
            audio_unlock();
            return m;
        }
        audio_unlock();
        if (Clock::now() > deadline) {
            ADD_FAILURE() << "no message handed over";
            return {};
        }
        std::this_thread::sleep_for(POLL);
    }
}

// Acts as the process callback for one message: it must be waiting, stay put
// until taken, and come out whole.
void take_expecting(const Message &expected)
{
    ASSERT_EQ(wait_pending(), expected);
    std::this_thread::sleep_for(LINGER);
    ASSERT_EQ(wait_pending(), expected) << "replaced before it was taken";
    std::uint8_t dst[MIDI_WORD_BYTES] = {};
    ASSERT_EQ(midi_take_pending(dst), MIDI_MESSAGE_BYTES);
    EXPECT_EQ((Message{dst[0], dst[1], dst[2]}), expected);
}

// Polls midi_take_pending from its own thread as the process callback does,
// noting when each message was taken.
class CallbackStandIn {
public:
    struct Taken {
        int len;
        Message bytes;
        Clock::time_point at;  // just before the call that returned it
    };

    CallbackStandIn() : thread_([this] { run(); }) {}
    ~CallbackStandIn()
    {
        stop_ = true;
        thread_.join();
    }

    // Everything taken once count messages have come, or after limit.
    std::vector<Taken> wait_for(std::size_t count, Clock::duration limit = PATIENCE)
    {
        const Clock::time_point deadline = Clock::now() + limit;
        for (;;) {
            {
                std::lock_guard<std::mutex> hold(mutex_);
                if (taken_.size() >= count || Clock::now() > deadline)
                    return taken_;
            }
            std::this_thread::sleep_for(POLL);
        }
    }

private:
    void run()
    {
        while (!stop_) {
            // Stamped before the call: it cannot return a message that was
            // handed over after this instant, so delays are never overstated.
            const Clock::time_point at = Clock::now();
            std::uint8_t dst[MIDI_WORD_BYTES] = {};
            const int len = midi_take_pending(dst);
            if (len > 0) {
                std::lock_guard<std::mutex> hold(mutex_);
                taken_.push_back({len, {dst[0], dst[1], dst[2]}, at});
            } else {
                std::this_thread::sleep_for(POLL);
            }
        }
    }

    std::mutex mutex_;
    std::vector<Taken> taken_;
    std::atomic<bool> stop_{false};
    std::thread thread_;  // last: starts once the rest exists
};

}  // namespace

TEST(MidiWord, BytesAsQueued)
{
    struct Case {
        const char *what;
        bool pause;
        int channel, key, velocity, delay_ms;
        std::array<std::uint8_t, MIDI_WORD_BYTES> bytes;
    };
    const Case cases[] = {
        {"A4 note-on", false, 0, 69, 90, 0, {0x90, 0x45, 0x5A, 0x00}},
        {"key masked to 7 bits", false, 0, 200, 90, 0, {0x90, 72, 90, 0}},
        {"velocity 128 masked to 0", false, 0, 69, 128, 0, {0x90, 69, 0, 0}},
        {"last channel", false, 15, 69, 90, 0, {0x9F, 69, 90, 0}},
        {"pause", true, 0, 0, 0, 50, {0, 0, 0, 50}},
        {"delay masked to 8 bits", false, 0, 69, 90, 300, {0x90, 69, 90, 300 & 0xff}},
    };
    for (const Case &c : cases) {
        if (c.pause)
            midi_queue_pause(c.delay_ms);
        else
            midi_queue_note(c.channel, c.key, c.velocity, c.delay_ms);
    }
    ASSERT_EQ(midi_queue_len, static_cast<int>(std::size(cases)) * MIDI_WORD_BYTES);
    for (std::size_t i = 0; i < std::size(cases); i++) {
        const std::uint8_t *word = midi_queue + i * MIDI_WORD_BYTES;
        EXPECT_EQ((std::array<std::uint8_t, MIDI_WORD_BYTES>{word[0], word[1], word[2], word[3]}),
                  cases[i].bytes)
            << cases[i].what;
    }
}

TEST(MidiQueue, The257thWordIsDropped)
{
    constexpr int capacity = MIDI_QUEUE_BYTES / MIDI_WORD_BYTES;
    // Word i differs from its neighbours in every byte.
    for (int i = 0; i < capacity; i++) {
        midi_queue_note(i % 16, i, capacity - 1 - i, i);
        ASSERT_EQ(midi_queue_len, (i + 1) * MIDI_WORD_BYTES);
    }
    midi_queue_note(1, 2, 3, 4);
    midi_queue_pause(5);
    EXPECT_EQ(midi_queue_len, MIDI_QUEUE_BYTES);

    const std::uint8_t *last = midi_queue + MIDI_QUEUE_BYTES - MIDI_WORD_BYTES;
    EXPECT_EQ(last[0], 0x9F);
    EXPECT_EQ(last[1], 255 & 0x7f);
    EXPECT_EQ(last[2], 0);
    EXPECT_EQ(last[3], 255);
    EXPECT_EQ(midi_queue[0], 0x90);
    EXPECT_EQ(midi_queue[2], capacity - 1 - 128);  // 255 masked to 7 bits
}

// A pause in the middle sends nothing; each message waits for its take.
TEST(MidiSender, HandsOverOneMessageAtATimeInQueueOrder)
{
    midi_queue_note(0, 60, 90, 0);
    midi_queue_pause(1);
    midi_queue_note(3, 62, 90, 0);
    midi_queue_note(0, 60, 0, 0);
    midi_start();

    take_expecting({0x90, 60, 90});
    take_expecting({0x93, 62, 90});
    take_expecting({0x90, 60, 0});
    std::this_thread::sleep_for(LINGER);
    std::uint8_t dst[MIDI_WORD_BYTES] = {};
    EXPECT_EQ(midi_take_pending(dst), -1);
}

TEST(MidiSender, WordsQueuedDuringAPassComeInTheNext)
{
    midi_queue_note(0, 60, 90, 0);
    midi_queue_note(0, 62, 90, 0);
    midi_start();

    ASSERT_EQ(wait_pending(), (Message{0x90, 60, 90}));
    EXPECT_EQ(queue_len(), 0) << "the pass takes the whole queue";
    midi_queue_note(0, 64, 90, 0);
    midi_queue_note(0, 65, 90, 0);
    EXPECT_EQ(queue_len(), 2 * MIDI_WORD_BYTES);

    take_expecting({0x90, 60, 90});
    ASSERT_EQ(wait_pending(), (Message{0x90, 62, 90}));
    EXPECT_EQ(queue_len(), 2 * MIDI_WORD_BYTES) << "still working on the first pass";
    take_expecting({0x90, 62, 90});
    ASSERT_EQ(wait_pending(), (Message{0x90, 64, 90}));
    EXPECT_EQ(queue_len(), 0);
    take_expecting({0x90, 64, 90});
    take_expecting({0x90, 65, 90});
}

TEST(MidiSender, DelaysPaceTheNextMessage)
{
    CallbackStandIn callback;
    midi_start();
    midi_queue_note(0, 69, 90, 0);
    midi_queue_pause(50);
    midi_queue_note(0, 69, 0, 30);
    midi_queue_note(0, 71, 90, 0);

    const std::vector<CallbackStandIn::Taken> taken = callback.wait_for(3);
    ASSERT_EQ(taken.size(), 3u);
    const Message expected[] = {{0x90, 69, 90}, {0x90, 69, 0}, {0x90, 71, 90}};
    for (std::size_t i = 0; i < taken.size(); i++) {
        EXPECT_EQ(taken[i].len, MIDI_MESSAGE_BYTES);
        EXPECT_EQ(taken[i].bytes, expected[i]) << i;
    }
    EXPECT_GE(taken[1].at - taken[0].at, 50ms) << "pause word";
    EXPECT_GE(taken[2].at - taken[1].at, 30ms) << "delay of a note word";
    // Nothing more: the pause handed nothing over.
    EXPECT_EQ(callback.wait_for(4, LINGER).size(), 3u);
}

TEST(MidiTakePending, MinusOneWhenNothingWaits)
{
    constexpr int pause_ms = 200;
    // Far below the pause: a sender that slept holding the lock would stall us.
    constexpr auto prompt = 100ms;
    std::uint8_t dst[MIDI_WORD_BYTES] = {0xAA, 0xAA, 0xAA, 0xAA};
    const auto untouched = [&dst] {
        return dst[0] == 0xAA && dst[1] == 0xAA && dst[2] == 0xAA && dst[3] == 0xAA;
    };
    EXPECT_EQ(midi_take_pending(dst), -1);
    EXPECT_TRUE(untouched());

    // Nothing while the sender sits out a pause, and no waiting for it.
    midi_start();
    midi_queue_pause(pause_ms);
    std::this_thread::sleep_for(LINGER);
    const Clock::time_point before = Clock::now();
    EXPECT_EQ(midi_take_pending(dst), -1);
    EXPECT_LT(Clock::now() - before, prompt);

    // Nor after it.
    std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms) + LINGER);
    EXPECT_EQ(queue_len(), 0);
    EXPECT_EQ(midi_take_pending(dst), -1);
    EXPECT_TRUE(untouched());
}

// As with no sound server: the first message is never taken.
TEST(MidiSender, UntakenMessageBlocksOnlyTheSender)
{
    constexpr int capacity = MIDI_QUEUE_BYTES / MIDI_WORD_BYTES;
    midi_start();
    midi_queue_note(0, 60, 90, 0);
    ASSERT_EQ(wait_pending(), (Message{0x90, 60, 90}));

    // Appending never waits on the sender: a full queue drops instead.
    for (int i = 0; i < capacity + 10; i++)
        midi_queue_note(0, i, 1, 0);
    audio_lock();
    const int len = midi_queue_len;
    const int last_key = midi_queue[MIDI_QUEUE_BYTES - MIDI_WORD_BYTES + 1];
    audio_unlock();
    EXPECT_EQ(len, MIDI_QUEUE_BYTES);
    EXPECT_EQ(last_key, capacity - 1 - 128);  // 255 masked to 7 bits
    EXPECT_EQ(wait_pending(), (Message{0x90, 60, 90}));

    // Once taken, the sender carries on with the words that fitted.
    take_expecting({0x90, 60, 90});
    take_expecting({0x90, 0, 1});
    take_expecting({0x90, 1, 1});
}

// One producer in bursts, the callback stand-in taking. Words queued after
// waiting for room must all arrive; words flooded without waiting may be
// dropped. Whatever arrives comes exactly once, in order and unaltered.
TEST(MidiStress, TwoThreadsAgainstReference)
{
    constexpr int word_count = 2000;  // sequence numbers fit key and velocity
    constexpr int max_burst = 300;    // more than the queue holds
    const auto seq_of = [](const Message &m) { return m[1] | (m[2] << 7); };
    std::vector<bool> must_arrive(word_count, false);
    std::vector<Message> arrived;

    midi_start();
    std::thread taker([&] {
        std::minstd_rand rng(7);
        const Clock::time_point deadline = Clock::now() + PATIENCE;
        while (Clock::now() < deadline) {
            std::uint8_t dst[MIDI_WORD_BYTES] = {};
            if (midi_take_pending(dst) != MIDI_MESSAGE_BYTES) {
                std::this_thread::sleep_for(std::chrono::microseconds(rng() % 200));
                continue;
            }
            arrived.push_back({dst[0], dst[1], dst[2]});
            if (seq_of(arrived.back()) == word_count - 1)
                return;
        }
    });

    std::minstd_rand rng(1);
    const Clock::time_point deadline = Clock::now() + PATIENCE;
    int seq = 0;
    while (seq < word_count) {
        const int burst = 1 + static_cast<int>(rng() % max_burst);
        // The last word always waits, so the taker knows when to stop.
        const bool flood = rng() % 3 == 0;
        for (int k = 0; k < burst && seq < word_count; k++, seq++) {
            const bool wait = !flood || seq == word_count - 1;
            // Only the sender empties the queue, so room seen here is still there.
            while (wait && queue_len() > MIDI_QUEUE_BYTES - MIDI_WORD_BYTES
                   && Clock::now() < deadline)
                std::this_thread::sleep_for(POLL);
            must_arrive[seq] = wait;
            midi_queue_note(wait ? 0 : 1, seq & 0x7f, seq >> 7, 0);
        }
        std::this_thread::sleep_for(std::chrono::microseconds(rng() % 2000));
    }
    taker.join();

    ASSERT_FALSE(arrived.empty());
    ASSERT_EQ(seq_of(arrived.back()), word_count - 1) << "taker timed out";
    std::vector<bool> seen(word_count, false);
    int previous = -1;
    for (const Message &m : arrived) {
        const int s = seq_of(m);
        ASSERT_LT(s, word_count);
        ASSERT_GT(s, previous) << "out of order or twice";
        EXPECT_EQ(m[0], must_arrive[s] ? 0x90 : 0x91) << "word " << s;
        seen[s] = true;
        previous = s;
    }
    for (int s = 0; s < word_count; s++) {
        if (must_arrive[s]) {
            ASSERT_TRUE(seen[s]) << "word " << s;
        }
    }
}
