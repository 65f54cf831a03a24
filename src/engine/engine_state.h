// Process-wide engine state shared by the analysis pipeline, the audio side
// and the displays.
//
// Everything here lives for the whole process: it is set up once during
// start-up and never freed or resized. Two global locks guard it:
//   audio_mutex / audio_cond  - everything the audio side shares (the
//                               generator's and assembler's ends of the
//                               rings, selections, generator parameters, MIDI queue,
//                               job counters, freeze/record/sensitivity);
//   result_mutex              - the analysis results and decay_factor.
// The two are never held at the same time: release one before taking the
// other. Every change made under audio_mutex that a waiter may need is
// followed by audio_wakeup(); every waiter re-tests its own condition. The
// real-time callback takes neither lock (it only tries audio_mutex for MIDI)
// and wakes nobody: whoever waits for it looks again on a short time-out.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>

class QString;

// One semitone group's tone level in a result row.
struct ToneEntry {
    double level;     // tone level, >= 1.0 when measured, then decayed
    double reserved;  // always 0.0
    double band;      // band index at which level was measured
};

// The strongest local peak of one pitch class in a result row.
struct PitchClassPeak {
    double level;        // peak level, 0.0 if the class has no peak
    double pitch_class;  // 0..11, 0 = A
    double band;         // band index of the peak, 0.0 if none
};

// Analysis blocks are always this many samples long.
constexpr std::uint32_t BLOCK_LEN = 1024;
// Bands per semitone group.
constexpr std::uint64_t BANDS_PER_GROUP = 256;
// Most semitone groups any rate yields: ten octaves of twelve.
constexpr std::uint64_t MAX_GROUP_COUNT = 120;

// ---- start-up parameters: fixed before any reader thread exists ----------
extern int sample_rate;                     // engine rate in Hz (8000..48000)
extern int worker_count;                    // correlation workers, and tone detectors (1..16)
extern std::uint64_t window_size;           // W: samples per analysis, multiple of 1024
extern std::uint64_t input_history_length;  // N = W + 1024, set by audio_start
extern std::uint64_t band_count;            // B: analysis bands, 256 per semitone
extern double *band_freq;                   // B band frequencies in Hz
extern QString *band_name;                  // B band names ("A5", "A0.128", ...)
extern std::uint8_t *third_octave_band;     // per group: ISO 1/3-octave band 1..31
extern std::uint64_t result_row_count;      // R: rows of tone_rows / pitch_class_rows (256)

// ---- run-time settings written by the spectrum panel ----------------------
extern double decay_factor;                 // result_mutex; 0.0 or 1 - 1/2^(setting+2)
// Read by the tone detectors without a lock. Relaxed ordering suffices: each
// call only needs some recent value, never one ordered with other data.
extern std::atomic<double> tuning_factor;   // 2^(cents/12000), 1.0 at start
extern int freeze_flag;                     // audio_mutex for writers; 1 = drop blocks
extern int record_flag;                     // audio_mutex for writers; 1 = log and play notes
extern int sensitivity;                     // audio_mutex for writers; 0..31

// ---- results and counters ---------------------------------------------------
extern double *correlation_sum;             // result_mutex; W decayed correlation values
extern double *input_history;               // result_mutex; ring of the last N main-channel samples
extern std::uint64_t input_history_pos;     // block assembler only; next write offset
extern ToneEntry *tone_rows;                // result_mutex; R rows of G entries
extern PitchClassPeak *pitch_class_rows;    // result_mutex; R rows of 12 entries
extern std::uint64_t jobs_submitted;        // audio_mutex; jobs created so far
extern std::uint64_t jobs_completed;        // audio_mutex; jobs whose rows are final
// Blocks that made no job because the jobs in flight were at their bound or
// memory was short; such blocks still enter input_history.
extern std::uint64_t blocks_skipped;        // audio_mutex

// ---- locks -----------------------------------------------------------------
extern pthread_mutex_t audio_mutex;
extern pthread_cond_t audio_cond;
extern pthread_mutex_t result_mutex;

// Initialise the two global mutexes and audio_cond with default attributes.
// Main thread, start-up only, before any other thread exists.
void engine_init_locks();

void audio_lock();
void audio_unlock();
void audio_wait();    // caller holds audio_mutex
// As audio_wait, but returns after timeout_us microseconds at the latest.
void audio_wait_for(long timeout_us);
void audio_wakeup();  // broadcast audio_cond
void result_lock();
void result_unlock();

// G: the number of semitone groups, band_count / 256.
inline std::uint64_t group_count() { return band_count / BANDS_PER_GROUP; }

// Start a detached POSIX thread with default attributes; engine threads are
// never joined and end with the process. A failed creation is ignored: the
// thread is simply missing.
void start_engine_thread(void *(*body)(void *));

// Lower the calling analysis thread below the audio threads. The toolkit's
// LowPriority changes nothing for ordinary Linux threads, so the thread's
// nice value is raised as well: sound must never wait for the analysis.
void lower_analysis_thread_priority();
