#include "audio/midi_output.h"

#include "engine/engine_state.h"

#include <unistd.h>

#include <cstring>

// ---- shared with the process callback (audio_mutex) ---------------------------

std::uint8_t midi_queue[MIDI_QUEUE_BYTES];
int midi_queue_len = 0;
std::uint8_t midi_pending[MIDI_MESSAGE_BYTES];
int midi_pending_len = 0;

namespace {

constexpr std::uint8_t NOTE_ON = 0x90;    // status byte, channel in the low nibble
constexpr int DATA_MASK = 0x7f;           // MIDI data bytes carry 7 bits
constexpr int BYTE_MASK = 0xff;
constexpr useconds_t USEC_PER_MS = 1000;

void append_word(std::uint8_t status, std::uint8_t key, std::uint8_t velocity, int delay_ms)
{
    audio_lock();
    // Dropping keeps the user-interface thread from ever waiting on the sender.
    if (midi_queue_len <= MIDI_QUEUE_BYTES - MIDI_WORD_BYTES) {
        std::uint8_t *word = midi_queue + midi_queue_len;
        word[0] = status;
        word[1] = key;
        word[2] = velocity;
        word[3] = static_cast<std::uint8_t>(delay_ms & BYTE_MASK);
        midi_queue_len += MIDI_WORD_BYTES;
        audio_wakeup();
    }
    audio_unlock();
}

}  // namespace

void midi_queue_note(int channel, int key, int velocity, int delay_ms)
{
    append_word(static_cast<std::uint8_t>((NOTE_ON | channel) & BYTE_MASK),
                static_cast<std::uint8_t>(key & DATA_MASK),
                static_cast<std::uint8_t>(velocity & DATA_MASK), delay_ms);
}

void midi_queue_pause(int delay_ms)
{
    append_word(0, 0, 0, delay_ms);
}

void midi_start()
{
    start_engine_thread(midi_sender_main);
}

void *midi_sender_main(void *)
{
    std::uint8_t words[MIDI_QUEUE_BYTES];
    for (;;) {
        audio_lock();
        while (midi_queue_len == 0)
            audio_wait();
        // Take the whole queue so the producers never wait behind our pacing;
        // whatever they add meanwhile goes out on the next pass.
        const int len = midi_queue_len;
        std::memcpy(words, midi_queue, static_cast<std::size_t>(len));
        midi_queue_len = 0;
        audio_unlock();

        for (int at = 0; at < len; at += MIDI_WORD_BYTES) {
            const std::uint8_t *word = words + at;
            if (word[0] != 0 || word[1] != 0 || word[2] != 0) {
                audio_lock();
                std::memcpy(midi_pending, word, MIDI_MESSAGE_BYTES);
                midi_pending_len = MIDI_MESSAGE_BYTES;
                // One message at a time: the callback never has to choose,
                // and each delay counts from the moment its message left.
                while (midi_pending_len != 0)
                    audio_wait();
                audio_unlock();
            }
            // Sleep unlocked: the real-time thread takes audio_mutex every period.
            if (word[3] != 0)
                usleep(word[3] * USEC_PER_MS);
        }
    }
}

int midi_take_pending(std::uint8_t *dst)
{
    // Never wait for the lock here: its holder may be stalled. A busy lock
    // only delays the message by one period.
    if (pthread_mutex_trylock(&audio_mutex) != 0)
        return -1;
    if (midi_pending_len == 0) {
        audio_unlock();
        return -1;
    }
    const int len = midi_pending_len;
    std::memcpy(dst, midi_pending, static_cast<std::size_t>(len));
    midi_pending_len = 0;
    audio_wakeup();
    audio_unlock();
    return len;
}
