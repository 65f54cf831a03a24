// MIDI note output. The toolkit thread queues 4-byte words (a short message
// and the delay before the next word) into a single-producer, single-consumer
// ring; the process callback takes every word that falls due within its
// period and sends it at its own frame, so a chord's notes share one frame and
// each delay holds to the frame. The callback also keeps the set of notes
// sounding, so that every way out can end them before the client closes.
//
// Roles: the producer is the toolkit thread alone (tests stand in for it);
// the consumer is the process callback. Nothing here takes a lock, allocates
// or waits.
#pragma once

#include <atomic>
#include <cstdint>

constexpr int MIDI_QUEUE_WORDS = 256;    // a power of two: indices wrap by masking
constexpr int MIDI_MESSAGE_BYTES = 3;
constexpr int MIDI_CHANNELS = 16;
constexpr int MIDI_KEYS = 128;

// status 0 makes a pause: nothing is sent, only the delay applies.
struct MidiWord {
    std::uint8_t status;    // 0x90 | channel (note-on; velocity 0 ends the note), or 0
    std::uint8_t key;       // 0..127
    std::uint8_t velocity;  // 0..127
    std::uint8_t delay_ms;  // time from this word to the next, 0..255 ms
};

// One message for the MIDI port, at a frame of the current period.
struct MidiEvent {
    std::uint32_t offset;                      // frames from the period's first frame
    std::uint8_t bytes[MIDI_MESSAGE_BYTES];
};

// Pure. Key and velocity are masked to 7 bits, channel to 4, the delay to 8.
MidiWord midi_note_word(int channel, int key, int velocity, int delay_ms);
MidiWord midi_pause_word(int delay_ms);

class MidiOutput {
public:
    // Producer. Queues all count words, or none when the ring lacks room for
    // all of them (returns false then): a chord is never cut in half.
    bool queue_words(const MidiWord *words, int count);

    // Producer. A chord: note-ons for the keys at velocity, hold_ms, the
    // note-offs, then rest_ms of silence before the next word; all or
    // nothing, as above. At most MIDI_KEYS keys; hold and rest at most 255 ms.
    bool queue_chord(int channel, const int *keys, int key_count, int velocity, int hold_ms, int rest_ms);

    // Producer: words queued and not yet taken by the consumer.
    int queued_words() const;

    // Consumer (the process callback), once or more per period. Fills out
    // with up to max events that fall due in [first_frame, first_frame +
    // frames) of the server's frame clock, in time order, and returns how
    // many; words beyond max stay for the next call with the same period. A
    // word found after the queue was idle falls due at first_frame; words
    // overdue (a period was missed) go at offset 0. While a silence is
    // requested (below) it instead returns note-offs for every sounding note,
    // then drops everything queued and acknowledges. Delays count in frames
    // at SERVER_RATE.
    int take_due(std::uint32_t first_frame, std::uint32_t frames, MidiEvent *out, int max);

    // Any thread but the real-time one. Asks the consumer to end every
    // sounding note and to drop the queued words; returns a ticket for
    // silence_done.
    std::uint32_t request_silence();

    // Whether the consumer has honoured the request of this ticket (or a later one).
    bool silence_done(std::uint32_t ticket) const;

    // While no consumer runs (its client closed): forget the sounding notes
    // (they went with the client's port), the queued words and the frame clock.
    void forget();

private:
    static constexpr int BITS_PER_WORD = 64;

    void track(const MidiWord &word);
    int silence(std::uint32_t first_frame, std::uint32_t frames, MidiEvent *out, int max, std::uint32_t wanted);

    // ---- the ring: one producer (toolkit), one consumer (process callback) ----
    MidiWord ring_[MIDI_QUEUE_WORDS] = {};
    // Counts of words ever written and taken, wrapping at 2^32 (a multiple of
    // the ring size). Each is stored by its owner with release once its slots
    // are filled (written) or read (taken), and loaded by the other side with
    // acquire: a slot is never read before it is filled nor refilled before
    // it was read.
    std::atomic<std::uint32_t> written_{0};  // producer's
    std::atomic<std::uint32_t> taken_{0};    // consumer's

    // Silence requests, as tickets: wanted is raised by a requester, honoured
    // by the consumer once it has handed out the note-offs and dropped the
    // queue. Release on honoured, acquire by the requester: one who sees its
    // ticket honoured also sees the queue empty, and may close the client.
    std::atomic<std::uint32_t> silence_wanted_{0};
    std::atomic<std::uint32_t> silence_honoured_{0};

    // ---- the consumer's own state (forget touches it only while no consumer runs)
    std::uint32_t next_due_ = 0;    // frame at which the front word falls due
    bool clock_running_ = false;    // false: the next word found falls due at once
    std::uint32_t last_sent_ = 0;   // frame of the latest event handed out
    std::uint64_t sounding_[MIDI_CHANNELS][MIDI_KEYS / BITS_PER_WORD] = {};  // one bit per note sounding
};
