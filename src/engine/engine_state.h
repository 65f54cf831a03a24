// Process-wide engine state shared by the analysis pipeline, the audio side
// and the displays, and the one map of who touches what.
//
// Everything shared lives for the whole process: it is set up once during
// start-up and never freed or resized. Two global locks guard it:
//   audio_mutex / audio_cond  - what the audio side shares: selections,
//                               generator parameters, the job counters,
//                               freeze, record and sensitivity;
//   result_mutex              - the analysis results and decay_factor.
// The two are never held at the same time: release one before taking the
// other. Every change made under audio_mutex that a waiter may need is
// followed by audio_wakeup(); every waiter re-tests its own condition. The
// real-time callback takes neither lock and wakes nobody: whoever waits for
// it looks again on a short time-out.
// Widgets take no lock themselves: they call the owner's functions below
// and in block_assembler.h, generator.h, filter_design.h and midi_output.h.
//
// Threads, in the order start-up starts them (all live until the process
// ends; none is joined):
//   toolkit (main)     normal, then LowPriority  main(); owns every widget
//   tone detectors     nice 10      band_table_setup()  -> tone_detector, worker_count of them
//   correlation        nice 10      correlation_setup() -> correlation_worker, worker_count
//   result collector   normal       collector_setup()   -> result_collector
//   generator          HighPriority generator_start()   -> generator_main
//   block assembler    HighPriority assembler_start()   -> assembler_main
//   process callback   JACK's thread (SCHED_FIFO on a real-time server, else
//                      raised to HighPriority) -> process_callback, once
//                      audio_open() has joined the server
//
// Shared variables. "Unlocked" says who may read without the lock, and why.
//   variable                 lock          writers                 readers            unlocked
//   start-up parameters      none          toolkit, at start-up    all                all: fixed before
//     (sample_rate ... result_row_count)                                              any reader starts
//   tuning_factor            atomic        toolkit                 tone detectors     all (relaxed)
//   decay_factor             result_mutex  toolkit                 correlation,       no
//                                                                  collector
//   freeze_flag              audio_mutex   toolkit                 assembler          no
//   record_flag, sensitivity audio_mutex   toolkit                 toolkit            no
//   correlation_sum          result_mutex  correlation, toolkit    toolkit (graph)    no
//                                          (Reset)
//   input_history            result_mutex  assembler, toolkit      assembler          no
//                                          (Reset)
//   input_history_pos        none          assembler               assembler          one thread only
//   tone_rows                result_mutex  collector               toolkit (graph)    no
//   correlation_rows         result_mutex  correlation             toolkit (export),  no
//                                                                  orvel-analyze
//   row_final_job            result_mutex  collector               orvel-analyze      no
//   jobs_folded              audio_mutex   correlation             correlation        no
//   pitch_class_rows         result_mutex  collector               toolkit (strip,    no
//                                                                  tick)
//   jobs_submitted           audio_mutex   assembler               assembler, toolkit no
//   jobs_completed           audio_mutex   collector, correlation  assembler, toolkit no
//                                          (a job given up)
//   blocks_skipped           audio_mutex   assembler, correlation  tests              no
//   main_channel,            audio_mutex   toolkit                 assembler          no
//     corr_channel
//   output_source_0/1,       audio_mutex   toolkit                 generator          no
//     gen_level, gen_phase_step, bp_kernel
//   MIDI word ring and its   atomic        toolkit (tick, clicks)  process callback   all: one index
//     two indices                                                                     per side
//   MIDI silence tickets     atomic        toolkit (Record off,    both               all
//                                          close), callback (ack)
//   MIDI due clock,          none          process callback        process callback   one thread only
//     sounding notes                       (midi_forget once the client has closed)
//   sample rings' indices    atomic        one owner per index (sample_ring.h)        all
//   callback_thread_id,      atomic        process callback,       any                all
//     audio_stopping, audio_server_gone    toolkit
//   audio_period, the rate   atomic        JACK's callbacks,       any                all
//     gate (rate_gate.h)                   process callback,
//                                          toolkit
//   audio state, remembered  none          toolkit (audio_open,    toolkit            one thread only
//     connections                          audio_watch)
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

// The extremes of correlation_sum as a job left it: the statistics box's
// MAX and MIN over the whole window just after that job was folded in.
struct CorrelationPeak {
    double max_value;      // greatest value of correlation_sum
    double min_value;      // smallest value
    std::uint64_t imax;    // index of the first greatest value: a delay of window_size - 1 - imax
    std::uint64_t imin;    // index of the first smallest value
};

// The sound server's rate in Hz: the only one Orvel runs at. Engine rates
// divide it.
constexpr int SERVER_RATE = 48000;
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
// The plain reference kernels instead of the fast ones, which sum in another
// order; for the tests and benchmarks that compare the two.
extern bool literal_paths;                  // false unless a test or benchmark sets it

// ---- run-time settings, set through the functions below -----------------
// (record and sensitivity live in engine_state.cpp: only those functions
// touch them.)
extern double decay_factor;                 // result_mutex; 0.0 or 1 - 1/2^(choice+2)
// Read by the tone detectors without a lock. Relaxed ordering suffices: each
// call only needs some recent value, never one ordered with other data.
extern std::atomic<double> tuning_factor;   // 2^(thousandths of a semitone / 12000), 1.0 at start
extern int freeze_flag;                     // audio_mutex; 1 = blocks make no jobs

// ---- results and counters ---------------------------------------------------
extern double *correlation_sum;             // result_mutex; W decayed correlation values
extern double *input_history;               // result_mutex; ring of the last N main-channel samples
extern std::uint64_t input_history_pos;     // block assembler only; next write offset
extern ToneEntry *tone_rows;                // result_mutex; R rows of G entries
extern PitchClassPeak *pitch_class_rows;    // result_mutex; R rows of 12 entries
extern CorrelationPeak *correlation_rows;   // result_mutex; R rows, row seq mod R for job seq
// Jobs finish out of order (the detectors share them out), so jobs_completed
// alone does not say which rows are final: this does, per row.
extern std::uint64_t *row_final_job;        // result_mutex; R entries: 1 + the job whose row is final there, 0 none
// Jobs folded into correlation_sum. The workers fold in job order, so that
// a decayed sum is the same whichever worker finishes first.
extern std::uint64_t jobs_folded;           // audio_mutex
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

// ---- the settings and counters, through named functions ---------------------
// Toolkit thread (tests stand in for it). Each takes the variable's lock and
// wakes whoever waits on it; none is called with a global lock held.
void toggle_freeze();
void toggle_record();
bool analysis_frozen();       // takes audio_mutex
bool recording_on();          // takes audio_mutex
void set_sensitivity(int exponent);  // 0..31: tone levels below 2^exponent are not shown
int current_sensitivity();    // takes audio_mutex
// decay_factor for decay choice k (0 = "OFF" .. 6 = "1/256"): 0.0, or
// 1 - 1/2^(k + 2). Pure.
double decay_for_choice(int k);
void set_decay_choice(int k); // takes result_mutex
// Fine tuning in thousandths of a semitone (-999 .. 999): tuning_factor.
void set_fine_tuning(int thousandths);

struct JobCounts {
    std::uint64_t submitted;  // jobs_submitted
    std::uint64_t completed;  // jobs_completed: rows 0 .. completed - 1 are final
};
// Both counters read together under audio_mutex. Any thread but the
// real-time one.
JobCounts job_counts();

// Runs read() with result_mutex held, so the results it looks at are
// consistent and still; read must not take audio_mutex. Any thread but the
// real-time one.
template <typename Read>
void read_results(Read &&read)
{
    result_lock();
    read();
    result_unlock();
}

// G: the number of semitone groups, band_count / 256.
inline std::uint64_t group_count() { return band_count / BANDS_PER_GROUP; }

// Start a detached POSIX thread with default attributes, named name (at most
// 15 characters; top -H and /proc show it); engine threads are never joined
// and end with the process. A failed creation is ignored: the thread is
// simply missing.
void start_engine_thread(void *(*body)(void *), const char *name = nullptr);

// Lower the calling analysis thread below the audio threads. The toolkit's
// LowPriority changes nothing for ordinary Linux threads, so the thread's
// nice value is raised as well: sound must never wait for the analysis.
void lower_analysis_thread_priority();
