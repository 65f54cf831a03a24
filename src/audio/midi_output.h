// MIDI note output. The band view queues 4-byte words (a short message and a
// delay); a sender thread hands the messages one at a time to the process
// callback and sleeps for each delay, so neither the user-interface thread
// nor the real-time thread ever waits on timing. All state is guarded by
// audio_mutex.
#pragma once

#include <cstdint>

constexpr int MIDI_QUEUE_BYTES = 1024;   // 256 words
constexpr int MIDI_WORD_BYTES = 4;       // status, key, velocity, delay in ms
constexpr int MIDI_MESSAGE_BYTES = 3;

extern std::uint8_t midi_queue[MIDI_QUEUE_BYTES];     // queued words
extern int midi_queue_len;                            // bytes queued, multiple of 4
extern std::uint8_t midi_pending[MIDI_MESSAGE_BYTES]; // the message waiting for the callback
extern int midi_pending_len;                          // 0 or 3

// Queue a note-on word (velocity 0 ends the note); key and velocity are
// masked to 7 bits, the delay to 8. Drops the word when 256 are queued.
// Any thread except the real-time one; never blocks beyond audio_mutex.
void midi_queue_note(int channel, int key, int velocity, int delay_ms);

// Queue a pause word: nothing is sent, only the delay applies.
void midi_queue_pause(int delay_ms);

// Start the sender thread (never ends). Start-up, before audio starts.
void midi_start();

// Thread body of the sender.
void *midi_sender_main(void *);

// Real-time thread: copy the waiting message to dst (at least 3 bytes) and
// return its length, or -1 when nothing waits or audio_mutex is busy (the
// message then goes a period later). Never waits for the lock.
int midi_take_pending(std::uint8_t *dst);
