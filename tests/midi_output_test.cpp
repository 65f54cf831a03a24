// The MIDI word ring and its consumer, without a server: a test thread plays
// the process callback, handing MidiOutput::take_due periods of a frame clock of
// its own. At 48000 Hz a millisecond is 48 frames, so 50 ms is 2400.
#include "audio/midi_output.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

namespace {

using Bytes = std::array<std::uint8_t, MIDI_MESSAGE_BYTES>;

struct Sent {
    std::uint32_t frame;  // on the test's frame clock
    Bytes bytes;
    bool operator==(const Sent &) const = default;
};

void PrintTo(const Sent &sent, std::ostream *out)
{
    *out << "{" << sent.frame << ": " << int(sent.bytes[0]) << " " << int(sent.bytes[1]) << " "
         << int(sent.bytes[2]) << "}";
}

constexpr std::uint8_t SENTINEL = 0xA5;
constexpr int OUT_SIZE = 64;

// Runs `periods` periods of `frames` from `first`, as the callback does (again
// while a call fills out to max), and checks that no call writes past max.
std::vector<Sent> run_periods(MidiOutput &midi, std::uint32_t first, std::uint32_t frames, int periods, int max = OUT_SIZE)
{
    std::vector<Sent> sent;
    for (int p = 0; p < periods; p++) {
        const std::uint32_t start = first + static_cast<std::uint32_t>(p) * frames;
        int count;
        do {
            MidiEvent out[OUT_SIZE + 1];
            std::memset(out, SENTINEL, sizeof out);
            count = midi.take_due(start, frames, out, max);
            EXPECT_LE(count, max);
            const auto *past = reinterpret_cast<const std::uint8_t *>(out + max);
            for (std::size_t b = 0; b < sizeof(MidiEvent); b++)
                EXPECT_EQ(past[b], SENTINEL) << "written past max";
            for (int i = 0; i < count; i++) {
                EXPECT_LT(out[i].offset, frames);
                sent.push_back({start + out[i].offset, {out[i].bytes[0], out[i].bytes[1], out[i].bytes[2]}});
            }
        } while (count == max);
    }
    return sent;
}

Sent on(std::uint32_t frame, int key, int channel = 0, int velocity = 90)
{
    return {frame, {static_cast<std::uint8_t>(0x90 | channel), static_cast<std::uint8_t>(key),
                    static_cast<std::uint8_t>(velocity)}};
}

Sent off(std::uint32_t frame, int key, int channel = 0)
{
    return {frame, {static_cast<std::uint8_t>(0x90 | channel), static_cast<std::uint8_t>(key), 0}};
}

// A note-off the consumer makes itself when asked for silence.
Sent ended(std::uint32_t frame, int key, int channel = 0)
{
    return {frame, {static_cast<std::uint8_t>(0x80 | channel), static_cast<std::uint8_t>(key), 0}};
}

const int TWELVE[] = {57, 58, 59, 60, 61, 62, 63, 64, 65, 66, 67, 68};

}  // namespace

TEST(MidiWord, BytesAsMade)
{
    struct Case {
        const char *what;
        MidiWord word;
        std::array<std::uint8_t, 4> bytes;
    };
    const Case cases[] = {
        {"A4 note-on", midi_note_word(0, 69, 90, 0), {0x90, 0x45, 0x5A, 0x00}},
        {"key masked to 7 bits", midi_note_word(0, 200, 90, 0), {0x90, 72, 90, 0}},
        {"velocity 128 masked to 0", midi_note_word(0, 69, 128, 0), {0x90, 69, 0, 0}},
        {"last channel", midi_note_word(15, 69, 90, 0), {0x9F, 69, 90, 0}},
        {"channel masked to 4 bits", midi_note_word(17, 69, 90, 0), {0x91, 69, 90, 0}},
        {"pause", midi_pause_word(50), {0, 0, 0, 50}},
        {"delay masked to 8 bits", midi_note_word(0, 69, 90, 300), {0x90, 69, 90, 300 & 0xff}},
    };
    for (const Case &c : cases) {
        EXPECT_EQ((std::array<std::uint8_t, 4>{c.word.status, c.word.key, c.word.velocity, c.word.delay_ms}),
                  c.bytes)
            << c.what;
    }
}

// ---- the ring ---------------------------------------------------------------------

// A 12-note chord is 26 words: 9 fit in 256 words, the tenth does not and
// leaves no trace; a 2-note chord (6 words) still fits the 22 left.
TEST(MidiQueue, ChordsGoInWholeOrNotAtAll)
{
    MidiOutput midi;
    constexpr int chord_words = 2 * 12 + 2;
    for (int i = 0; i < MIDI_QUEUE_WORDS / chord_words; i++)
        ASSERT_TRUE(midi.queue_chord(0, TWELVE, 12, 90 - i, 50, 50)) << i;
    EXPECT_EQ(midi.queued_words(), 9 * chord_words);
    EXPECT_FALSE(midi.queue_chord(0, TWELVE, 12, 1, 50, 50));
    EXPECT_EQ(midi.queued_words(), 9 * chord_words);
    const int pair[] = {40, 41};
    EXPECT_TRUE(midi.queue_chord(1, pair, 2, 7, 50, 50));
    EXPECT_EQ(midi.queued_words(), MIDI_QUEUE_WORDS - 16);
    // More words than the ring holds at all, or than are free: nothing.
    std::vector<MidiWord> words(MIDI_QUEUE_WORDS + 1, midi_pause_word(0));
    EXPECT_FALSE(midi.queue_words(words.data(), 17));
    EXPECT_TRUE(midi.queue_words(words.data(), 16));
    EXPECT_EQ(midi.queued_words(), MIDI_QUEUE_WORDS);
    EXPECT_FALSE(midi.queue_words(words.data(), 1));

    // Everything that went in comes out, each chord whole, the dropped one absent.
    const std::vector<Sent> sent = run_periods(midi, 0, 256, 9 * 20 + 40);
    std::vector<Sent> expected;
    for (int i = 0; i < 9; i++) {
        const std::uint32_t start = static_cast<std::uint32_t>(i) * 4800;
        for (int key : TWELVE)
            expected.push_back(on(start, key, 0, 90 - i));
        for (int key : TWELVE)
            expected.push_back(off(start + 2400, key));
    }
    expected.insert(expected.end(), {on(43200, 40, 1, 7), on(43200, 41, 1, 7), off(45600, 40, 1), off(45600, 41, 1)});
    EXPECT_EQ(sent, expected);
    EXPECT_EQ(midi.queued_words(), 0);
    // Room again for a whole ring.
    EXPECT_TRUE(midi.queue_words(words.data(), MIDI_QUEUE_WORDS));
}

// Words that straddle the end of the ring come out as they went in.
TEST(MidiQueue, WordsSurviveTheWrap)
{
    MidiOutput midi;
    const MidiWord pause = midi_pause_word(0);
    for (int i = 0; i < MIDI_QUEUE_WORDS - 5; i++) {
        ASSERT_TRUE(midi.queue_words(&pause, 1));
        run_periods(midi, static_cast<std::uint32_t>(i) * 256, 256, 1);
    }
    ASSERT_EQ(midi.queued_words(), 0);
    ASSERT_TRUE(midi.queue_chord(3, TWELVE, 12, 100, 1, 0));  // slots 251 .. 276
    EXPECT_EQ(midi.queued_words(), 26);
    const std::uint32_t now = 1000000;
    std::vector<Sent> expected;
    for (int key : TWELVE)
        expected.push_back(on(now, key, 3, 100));
    for (int key : TWELVE)
        expected.push_back(off(now + 48, key, 3));
    EXPECT_EQ(run_periods(midi, now, 256, 2), expected);
}

// ---- timing ----------------------------------------------------------------------------

// Two chords queued at once, at several period sizes, one across the frame
// clock's wrap: each chord's notes share a frame, and 50 ms is 2400 frames
// exactly, whatever the period boundaries.
TEST(MidiTakeDue, ChordsShareAFrameAndHoldToTheFrame)
{
    MidiOutput midi;
    struct Case {
        std::uint32_t first;
        std::uint32_t frames;
    };
    const Case cases[] = {{0, 256}, {1000, 64}, {7, 1}, {0, 2400}, {12345, 4096}, {0xFFFFF000u, 256}};
    const int pair[] = {69, 76};
    for (const Case &c : cases) {
        ASSERT_TRUE(midi.queue_chord(0, TWELVE, 12, 90, 50, 50));
        ASSERT_TRUE(midi.queue_chord(0, pair, 2, 90, 50, 50));
        const int periods = static_cast<int>(4 * 2400 / c.frames) + 2;
        const std::vector<Sent> sent = run_periods(midi, c.first, c.frames, periods);
        std::vector<Sent> expected;
        for (int key : TWELVE)
            expected.push_back(on(c.first, key));
        for (int key : TWELVE)
            expected.push_back(off(c.first + 2400, key));
        expected.insert(expected.end(), {on(c.first + 4800, 69), on(c.first + 4800, 76),
                                         off(c.first + 7200, 69), off(c.first + 7200, 76)});
        EXPECT_EQ(sent, expected) << c.first << " + " << c.frames;
        // Idle once the last rest is over.
        run_periods(midi, c.first + static_cast<std::uint32_t>(periods) * c.frames, c.frames, 2);
    }
}

// Words found after an idle spell start in the period that finds them, not
// at a time long past; words queued during a rest wait for its end.
TEST(MidiTakeDue, IdleQueueStartsNowAndARestIsKept)
{
    MidiOutput midi;
    constexpr std::uint32_t P = 256;
    EXPECT_TRUE(run_periods(midi, 0, P, 10).empty());
    const int a[] = {60};
    const int b[] = {62};
    ASSERT_TRUE(midi.queue_chord(0, a, 1, 90, 50, 50));
    EXPECT_EQ(run_periods(midi, 10 * P, P, 5), (std::vector<Sent>{on(2560, 60)}));
    // Queued during the hold: starts when the rest ends, at 2560 + 4800.
    ASSERT_TRUE(midi.queue_chord(0, b, 1, 90, 50, 50));
    EXPECT_EQ(run_periods(midi, 15 * P, P, 30), (std::vector<Sent>{off(4960, 60), on(7360, 62), off(9760, 62)}));
    // Long after the rest: now.
    EXPECT_TRUE(run_periods(midi, 45 * P, P, 400).empty());
    ASSERT_TRUE(midi.queue_chord(0, a, 1, 90, 50, 50));
    EXPECT_EQ(run_periods(midi, 445 * P, P, 1), (std::vector<Sent>{on(445 * P, 60)}));
}

// A missed stretch of periods: what fell due meanwhile goes at once, in
// order, and later words keep their own times. A clock that starts over
// (another server) does not leave the queue waiting for its old times.
TEST(MidiTakeDue, LateWordsGoAtOnceInOrder)
{
    MidiOutput midi;
    const int a[] = {60, 64};
    ASSERT_TRUE(midi.queue_chord(0, a, 2, 90, 50, 50));
    ASSERT_TRUE(midi.queue_chord(0, a, 2, 80, 50, 50));
    EXPECT_EQ(run_periods(midi, 0, 256, 1), (std::vector<Sent>{on(0, 60), on(0, 64)}));
    // Periods from 256 to 5120 never came: the note-offs at 2400 and the
    // second chord's note-ons at 4800 go at the first frame of 5120.
    EXPECT_EQ(run_periods(midi, 5120, 256, 40),
              (std::vector<Sent>{off(5120, 60), off(5120, 64), on(5120, 60, 0, 80), on(5120, 64, 0, 80),
                                 off(7200, 60), off(7200, 64)}));

    ASSERT_TRUE(midi.queue_chord(0, a, 2, 90, 50, 50));
    EXPECT_EQ(run_periods(midi, 1000000000u, 256, 1), (std::vector<Sent>{on(1000000000u, 60), on(1000000000u, 64)}));
    EXPECT_EQ(run_periods(midi, 512, 256, 20), (std::vector<Sent>{off(512, 60), off(512, 64)}));
}

// With room for fewer events than fall due, the rest follow in further calls
// for the same period, at their own offsets.
TEST(MidiTakeDue, MoreThanMaxFollowInTheSamePeriod)
{
    MidiOutput midi;
    const int keys[] = {60, 61, 62, 63, 64};
    std::vector<MidiWord> words;
    for (int key : keys)
        words.push_back(midi_note_word(0, key, 90, 1));   // 48 frames apart
    ASSERT_TRUE(midi.queue_words(words.data(), static_cast<int>(words.size())));
    std::vector<Sent> expected;
    for (int i = 0; i < 5; i++)
        expected.push_back(on(static_cast<std::uint32_t>(48 * i), keys[i]));
    EXPECT_EQ(run_periods(midi, 0, 256, 1, 2), expected);
}

// ---- silence -----------------------------------------------------------------------

// Notes on the edges of the bit set sound; one has already ended. Silence
// ends exactly those sounding, drops the queue, and only then acknowledges.
TEST(MidiSilence, EndsEverySoundingNoteAndDropsTheQueue)
{
    MidiOutput midi;
    const std::vector<MidiWord> words = {
        midi_note_word(0, 0, 90, 0),   midi_note_word(0, 127, 90, 0), midi_note_word(15, 64, 90, 0),
        midi_note_word(3, 63, 90, 0),  midi_note_word(0, 10, 90, 0),  midi_note_word(0, 10, 0, 1),
        midi_note_word(5, 50, 90, 0),  midi_pause_word(200),          midi_note_word(0, 0, 0, 0),
    };
    ASSERT_TRUE(midi.queue_words(words.data(), static_cast<int>(words.size())));
    // The first period sends up to the note-on of 5/50 at frame 48.
    EXPECT_EQ(run_periods(midi, 0, 256, 1).size(), 7u);
    EXPECT_EQ(midi.queued_words(), 1);

    const std::uint32_t ticket = midi.request_silence();
    EXPECT_FALSE(midi.silence_done(ticket));
    // Two at a time: the acknowledgement waits for the last.
    EXPECT_EQ(run_periods(midi, 256, 256, 1, 2),
              (std::vector<Sent>{ended(256, 0), ended(256, 127), ended(256, 63, 3), ended(256, 50, 5),
                                 ended(256, 64, 15)}));
    EXPECT_TRUE(midi.silence_done(ticket));
    EXPECT_EQ(midi.queued_words(), 0);
    EXPECT_TRUE(run_periods(midi, 512, 256, 100).empty()) << "the queued note-off was dropped";

    // Nothing sounding: nothing sent, still acknowledged.
    const std::uint32_t second = midi.request_silence();
    EXPECT_TRUE(run_periods(midi, 100000, 256, 1).empty());
    EXPECT_TRUE(midi.silence_done(second));
    EXPECT_TRUE(midi.silence_done(ticket));
}

// Asked between two calls of one period, after an event at frame 48: the
// note-offs may not go before it (JACK keeps a period's events in order).
TEST(MidiSilence, NeverBeforeAnEventOfTheSamePeriod)
{
    MidiOutput midi;
    const std::vector<MidiWord> words = {midi_note_word(0, 60, 90, 1), midi_note_word(0, 62, 90, 0)};
    ASSERT_TRUE(midi.queue_words(words.data(), 2));
    MidiEvent out[2];
    ASSERT_EQ(midi.take_due(1000, 256, out, 2), 2);
    EXPECT_EQ(out[1].offset, 48u);
    midi.request_silence();
    ASSERT_EQ(midi.take_due(1000, 256, out, 2), 2);
    EXPECT_EQ(out[0].offset, 48u);
    EXPECT_EQ(out[1].offset, 48u);
}

// Once the client has closed, its notes and words are forgotten, and the
// next word starts now.
TEST(MidiSilence, ForgetLeavesNothing)
{
    MidiOutput midi;
    const int a[] = {60};
    ASSERT_TRUE(midi.queue_chord(0, a, 1, 90, 50, 50));
    ASSERT_EQ(run_periods(midi, 0, 256, 1).size(), 1u);
    midi.forget();
    EXPECT_EQ(midi.queued_words(), 0);
    midi.request_silence();
    EXPECT_TRUE(run_periods(midi, 256, 256, 30).empty());
    ASSERT_TRUE(midi.queue_chord(0, a, 1, 90, 50, 50));
    EXPECT_EQ(run_periods(midi, 9000, 256, 1), (std::vector<Sent>{on(9000, 60)}));
}

// ---- two threads ---------------------------------------------------------------------

// The toolkit queues chords in bursts, sometimes waiting for room, sometimes
// not; the callback takes in periods of its own clock. Every accepted chord
// must arrive whole, once, in order, each hold exact to the frame; nothing
// else may arrive.
TEST(MidiStress, TwoThreadsAgainstReference)
{
    MidiOutput midi;
    struct Chord {
        int channel, velocity, hold_ms;
        std::vector<int> keys;
        bool operator==(const Chord &) const = default;
    };
    constexpr int chord_count = 3000;
    std::vector<Chord> accepted;
    std::vector<Sent> sent;
    std::atomic<bool> producing{true};

    std::thread callback([&] {
        std::uint32_t frame = 0;
        while (producing.load() || midi.queued_words() > 0) {
            const std::vector<Sent> period = run_periods(midi, frame, 256, 1, 7);
            sent.insert(sent.end(), period.begin(), period.end());
            frame += 256;
            if (frame % 4096 == 0)
                std::this_thread::yield();
        }
        // The last rest runs out.
        const std::vector<Sent> tail = run_periods(midi, frame, 256, 100);
        sent.insert(sent.end(), tail.begin(), tail.end());
    });

    std::minstd_rand rng(11);
    for (int seq = 0; seq < chord_count; seq++) {
        Chord chord{seq % 16, 1 + (seq / 16) % 127, static_cast<int>(rng() % 4), {}};
        const int size = 1 + static_cast<int>(rng() % 12);
        for (int k = 0; k < size; k++)
            chord.keys.push_back(static_cast<int>(k * 10 + rng() % 10));
        const int words = 2 * size + 2;
        if (rng() % 3 != 0) {
            while (MIDI_QUEUE_WORDS - midi.queued_words() < words)
                std::this_thread::yield();
        }
        if (midi.queue_chord(chord.channel, chord.keys.data(), size, chord.velocity, chord.hold_ms,
                             static_cast<int>(rng() % 3)))
            accepted.push_back(chord);
        if (rng() % 50 == 0)
            std::this_thread::sleep_for(std::chrono::microseconds(rng() % 500));
    }
    producing.store(false);
    callback.join();

    // Rebuild the chords from what was sent: note-ons, then as many note-offs.
    std::vector<Chord> arrived;
    std::size_t i = 0;
    while (i < sent.size()) {
        Chord chord{sent[i].bytes[0] & 0x0f, sent[i].bytes[2], -1, {}};
        const std::uint32_t start = sent[i].frame;
        for (; i < sent.size() && sent[i].bytes[2] != 0; i++) {
            ASSERT_EQ(sent[i].frame, start) << "a chord's note-ons share a frame";
            chord.keys.push_back(sent[i].bytes[1]);
        }
        for (std::size_t k = 0; k < chord.keys.size(); k++, i++) {
            ASSERT_LT(i, sent.size()) << "note-offs missing";
            ASSERT_EQ(sent[i].bytes[1], chord.keys[k]);
            ASSERT_EQ(sent[i].bytes[2], 0);
            ASSERT_EQ((sent[i].frame - start) % 48, 0u);
            chord.hold_ms = static_cast<int>((sent[i].frame - start) / 48);
        }
        arrived.push_back(chord);
    }
    ASSERT_GT(accepted.size(), chord_count / 2u);
    ASSERT_EQ(arrived.size(), accepted.size());
    for (std::size_t c = 0; c < accepted.size(); c++)
        ASSERT_EQ(arrived[c], accepted[c]) << "chord " << c;
}
