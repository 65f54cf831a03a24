// The server side of the sample rings: the four rings between the sound
// server's real-time thread, the generator and the block assembler, and the
// conversion between the server's 48000 Hz and the engine rate. One
// SampleExchange per analysis.
//
//   in_ring_0/1   exchange (writer) -> block assembler (consumer)
//   out_ring_0/1  generator (writer) -> exchange (consumer: playback)
//                                    -> block assembler (tap)
//
// exchange() takes no lock and wakes nobody: a woken thread could take the
// real-time thread's processor, and a lock holder stalled elsewhere would
// make the server wait. The generator and the assembler look at the rings
// again when what they miss should have come (poll_us). ring_mutex guards
// the assembler's side of the rings (the input rings' consumer and the output
// rings' tap) and is what the generator, the assembler and the feeders wait
// on. The generator and the assembler wake each other only when the other
// waits for just that (the flags below): what they miss comes mostly from the
// real-time thread, so a broadcast on every frame and block would only wake
// them early, several times for each frame or block they wait for.
#pragma once

#include "audio/sample_ring.h"
#include "engine/mutex.h"

#include <atomic>
#include <cstdint>

constexpr int MAX_RATE_DIV = 8;     // staging room; 48000 / the lowest engine rate is 6
// Input beyond this many times full scale (+120 dBFS: no microphone or file
// comes near) is clamped here, so that every later sum of products over the
// longest window stays finite in double, and one wild sample cannot end the
// analysis.
constexpr float MAX_INPUT_SAMPLE = 1048576.0f;
// A fixed look every few milliseconds, for waiters that cannot tell what
// they miss: far below the slack of a block (21 ms even at 48000 Hz).
constexpr long AUDIO_POLL_US = 5000;
constexpr long AUDIO_POLL_US_SHORTEST = 1000;
constexpr long AUDIO_POLL_US_LONGEST = 100000;

class SampleExchange {
public:
    explicit SampleExchange(int engine_rate);  // a divisor of SERVER_RATE
    SampleExchange(const SampleExchange &) = delete;
    SampleExchange &operator=(const SampleExchange &) = delete;

    // Real-time thread, once per server period. io_1 / io_2 hold the nframes
    // samples just received; on return they hold the samples to play.
    // Averages each group of 48000 / engine rate frames into the input rings
    // and plays the output rings interpolated linearly, one group late; a dry
    // output ring ramps to silence and moves no index. Input groups stay
    // paired with the output samples the assembler taps: a group recorded
    // while playback ran dry is dropped, and one dropped for a full input
    // ring leaves one tap sample unpaired (take_unpaired_tap_samples).
    // Non-finite input counts as 0, input beyond MAX_INPUT_SAMPLE as that
    // bound. Takes no lock, allocates nothing, wakes nobody.
    void exchange(float *io_1, float *io_2, std::uint32_t nframes);

    // Tap samples whose input partner was dropped since the last call, for
    // the tap's owner (the assembler, under ring_mutex) to pass over. Any
    // thread.
    std::uint32_t take_unpaired_tap_samples();

    // Groups of server frames played as silence because an output ring ran
    // dry (the generator was late), and input groups dropped for a full
    // input ring (the assembler was late), since the exchange was made.
    // Any thread; relaxed: counts for the soak, ordered with nothing.
    std::uint64_t dry_groups() const { return dry_groups_.load(std::memory_order_relaxed); }
    std::uint64_t dropped_groups() const { return dropped_groups_.load(std::memory_order_relaxed); }

    // Start the exchange afresh, as at start-up: the input rings emptied for
    // the assembler, its tap moved up to playback on both output rings, the
    // group in progress and the unpaired count forgotten. The next input
    // group then pairs with the next sample played, as the first one did.
    // Only while exchange() cannot run (no active client, or the callback
    // held at the rate gate); takes ring_mutex and wakes the waiters.
    void restart() EXCLUDES(ring_mutex);

    // How long a waiter for `missing` engine samples, or room for them, may
    // sleep before it looks at the rings again: until they should have come
    // (a server period at least, since they come a period at a time), at
    // least AUDIO_POLL_US_SHORTEST and at most AUDIO_POLL_US_LONGEST. It
    // then wakes about once a block or frame instead of every few
    // milliseconds; a broadcast still wakes it at once. Any thread.
    long poll_us(std::uint32_t missing) const;

    int engine_rate() const { return engine_rate_; }
    int rate_div() const { return rate_div_; }  // server frames per engine sample

    SampleRing in_ring_0;   // input_1, decimated ("INPUT 0")
    SampleRing in_ring_1;   // input_2, decimated ("INPUT 1")
    SampleRing out_ring_0;  // generator output for output_1 ("OUTPUT 0")
    SampleRing out_ring_1;  // generator output for output_2 ("OUTPUT 1")

    Mutex ring_mutex;
    // The assembler and the feeders wait here; broadcast whenever one of
    // them may go on, by the generator only while assembler_waits_for_tap.
    CondVar ring_changed;
    // The generator waits here: broadcast by the assembler once the tap has
    // moved far enough for generator_wants_tap_room, and by restart.
    CondVar tap_moved;
    // Set by each before it waits: the room behind the tap on both output
    // rings that the generator waits for (0: it waits for none), and whether
    // the assembler waits for tap samples.
    std::uint32_t generator_wants_tap_room GUARDED_BY(ring_mutex) = 0;
    bool assembler_waits_for_tap GUARDED_BY(ring_mutex) = false;

private:
    void keep_group_input(bool played);

    const int engine_rate_;
    const int rate_div_;

    // ---- real-time thread only ----
    float in_stage_0_[MAX_RATE_DIV] = {};   // input_1 frames of the group in progress
    float in_stage_1_[MAX_RATE_DIV] = {};   // input_2 frames of the group in progress
    float out_stage_0_[MAX_RATE_DIV] = {};  // output_1 frames played during the group in progress
    float out_stage_1_[MAX_RATE_DIV] = {};  // output_2 frames played during the group in progress
    std::uint8_t stage_pos_ = 0;            // frames of the group in progress already exchanged

    // Written by the real-time thread, taken by the assembler. Relaxed: the
    // count carries no data with it, and the tap it concerns is read under
    // its own index ordering.
    std::atomic<std::uint32_t> unpaired_tap_samples_{0};
    std::atomic<std::uint64_t> dry_groups_{0};      // see dry_groups()
    std::atomic<std::uint64_t> dropped_groups_{0};  // see dropped_groups()
    // Frames of the latest server period, for poll_us. Relaxed: a hint.
    std::atomic<std::uint32_t> period_frames_{0};
};
