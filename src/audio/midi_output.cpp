#include "audio/midi_output.h"

#include "engine/engine_types.h"

#include <algorithm>
#include <atomic>

namespace {

constexpr std::uint8_t NOTE_ON = 0x90;    // status byte, channel in the low nibble
constexpr std::uint8_t NOTE_OFF = 0x80;
constexpr int STATUS_MASK = 0xf0;
constexpr int CHANNEL_MASK = 0x0f;
constexpr int DATA_MASK = 0x7f;           // MIDI data bytes carry 7 bits
constexpr int BYTE_MASK = 0xff;
constexpr std::uint32_t RING_MASK = MIDI_QUEUE_WORDS - 1;
constexpr std::uint32_t FRAMES_PER_MS = SERVER_RATE / 1000;
// The furthest a due time can lie ahead: every queued word at the longest delay.
constexpr std::int64_t MAX_AHEAD_FRAMES = std::int64_t{MIDI_QUEUE_WORDS} * BYTE_MASK * FRAMES_PER_MS;

static_assert((MIDI_QUEUE_WORDS & RING_MASK) == 0, "the ring size must be a power of two");
static_assert(SERVER_RATE % 1000 == 0, "delays are whole frames");

// How far `to` lies after `from` on a wrapping 32-bit count (frames, tickets).
std::int64_t wrapped_difference(std::uint32_t from, std::uint32_t to)
{
    return static_cast<std::int32_t>(to - from);
}

}  // namespace

void MidiOutput::track(const MidiWord &word)
{
    const int type = word.status & STATUS_MASK;
    std::uint64_t &bits = sounding_[word.status & CHANNEL_MASK][word.key / BITS_PER_WORD];
    const std::uint64_t bit = std::uint64_t{1} << (word.key % BITS_PER_WORD);
    if (type == NOTE_ON && word.velocity != 0)
        bits |= bit;
    else if (type == NOTE_ON || type == NOTE_OFF)
        bits &= ~bit;
}

// Note-offs for whatever sounds, then the queue dropped and the request
// acknowledged; a full out leaves the rest for the next call.
int MidiOutput::silence(std::uint32_t first_frame, std::uint32_t frames, MidiEvent *out, int max, std::uint32_t wanted)
{
    // Never before an event already sent in this period: JACK keeps a
    // period's events in time order.
    const std::int64_t since = wrapped_difference(first_frame, last_sent_);
    const auto offset = static_cast<std::uint32_t>(since > 0 && since < frames ? since : 0);
    int count = 0;
    for (int channel = 0; channel < MIDI_CHANNELS; channel++) {
        for (int word = 0; word < MIDI_KEYS / BITS_PER_WORD; word++) {
            std::uint64_t &bits = sounding_[channel][word];
            while (bits != 0) {
                if (count == max)
                    return count;
                const int key = word * BITS_PER_WORD + __builtin_ctzll(bits);
                bits &= bits - 1;
                out[count++] = {offset, {static_cast<std::uint8_t>(NOTE_OFF | channel), static_cast<std::uint8_t>(key), 0}};
            }
        }
    }
    if (count == max)
        return count;  // the acknowledgement comes with the next call
    taken_.store(written_.load(std::memory_order_acquire), std::memory_order_release);
    clock_running_ = false;
    silence_honoured_.store(wanted, std::memory_order_release);
    return count;
}

MidiWord midi_note_word(int channel, int key, int velocity, int delay_ms)
{
    return {static_cast<std::uint8_t>(NOTE_ON | (channel & CHANNEL_MASK)), static_cast<std::uint8_t>(key & DATA_MASK),
            static_cast<std::uint8_t>(velocity & DATA_MASK), static_cast<std::uint8_t>(delay_ms & BYTE_MASK)};
}

MidiWord midi_pause_word(int delay_ms)
{
    return {0, 0, 0, static_cast<std::uint8_t>(delay_ms & BYTE_MASK)};
}

bool MidiOutput::queue_words(const MidiWord *words, int count)
{
    if (count < 0 || count > MIDI_QUEUE_WORDS)
        return false;
    const std::uint32_t write = written_.load(std::memory_order_relaxed);
    const std::uint32_t free = MIDI_QUEUE_WORDS - (write - taken_.load(std::memory_order_acquire));
    // Dropping keeps the toolkit thread from ever waiting on the callback.
    if (static_cast<std::uint32_t>(count) > free)
        return false;
    for (int i = 0; i < count; i++)
        ring_[(write + static_cast<std::uint32_t>(i)) & RING_MASK] = words[i];
    written_.store(write + static_cast<std::uint32_t>(count), std::memory_order_release);
    return true;
}

bool MidiOutput::queue_chord(int channel, const int *keys, int key_count, int velocity, int hold_ms, int rest_ms)
{
    if (key_count < 0 || key_count > MIDI_KEYS)
        return false;
    MidiWord words[2 * MIDI_KEYS + 2];
    int n = 0;
    for (int i = 0; i < key_count; i++)
        words[n++] = midi_note_word(channel, keys[i], velocity, 0);
    words[n++] = midi_pause_word(hold_ms);
    for (int i = 0; i < key_count; i++)
        words[n++] = midi_note_word(channel, keys[i], 0, 0);
    words[n++] = midi_pause_word(rest_ms);
    return queue_words(words, n);
}

int MidiOutput::queued_words() const
{
    return static_cast<int>(written_.load(std::memory_order_relaxed) - taken_.load(std::memory_order_acquire));
}

int MidiOutput::take_due(std::uint32_t first_frame, std::uint32_t frames, MidiEvent *out, int max)
{
    const std::uint32_t wanted = silence_wanted_.load(std::memory_order_acquire);
    if (wanted != silence_honoured_.load(std::memory_order_relaxed))
        return silence(first_frame, frames, out, max, wanted);

    // A due time beyond anything the queue can hold means the frame clock
    // started over (a new server): start now rather than wait for hours.
    if (!clock_running_ || wrapped_difference(first_frame, next_due_) > MAX_AHEAD_FRAMES) {
        next_due_ = first_frame;
        clock_running_ = true;
    }
    std::uint32_t read = taken_.load(std::memory_order_relaxed);
    const std::uint32_t available = written_.load(std::memory_order_acquire);
    int count = 0;
    while (count < max && read != available) {
        const std::int64_t ahead = wrapped_difference(first_frame, next_due_);
        if (ahead >= frames)
            break;
        const MidiWord &word = ring_[read & RING_MASK];
        if (word.status != 0) {
            // Overdue words (a missed period) go at once, still in order.
            const auto offset = static_cast<std::uint32_t>(std::max<std::int64_t>(ahead, 0));
            out[count++] = {offset, {word.status, word.key, word.velocity}};
            last_sent_ = first_frame + offset;
            track(word);
        }
        next_due_ += word.delay_ms * FRAMES_PER_MS;
        read++;
    }
    taken_.store(read, std::memory_order_release);
    // Once the last delay has run out with nothing queued, the next word
    // starts when it is found, not at a time already past.
    if (read == available && wrapped_difference(first_frame + frames, next_due_) <= 0)
        clock_running_ = false;
    return count;
}

std::uint32_t MidiOutput::request_silence()
{
    return silence_wanted_.fetch_add(1, std::memory_order_acq_rel) + 1;
}

bool MidiOutput::silence_done(std::uint32_t ticket) const
{
    return wrapped_difference(ticket, silence_honoured_.load(std::memory_order_acquire)) >= 0;
}

void MidiOutput::forget()
{
    taken_.store(written_.load(std::memory_order_acquire), std::memory_order_release);
    silence_honoured_.store(silence_wanted_.load(std::memory_order_acquire), std::memory_order_release);
    clock_running_ = false;
    last_sent_ = 0;
    for (auto &channel : sounding_)
        std::fill(std::begin(channel), std::end(channel), 0);
}
