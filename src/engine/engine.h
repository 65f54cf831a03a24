// The analysis engine: one instance owns everything an analysis needs, its
// configuration, the band table, the queues and job pool, the result rows,
// the counters, the user's settings and its threads. Two engines run side by
// side without sharing anything but FFTW's plans.
//
//   block assembler (audio layer) --accept_block--> job_queue
//     -> correlation workers (fold in job order) -> tone_queue
//     -> tone detectors -> collect_queue -> result collector
//     (the collector sends three refinement tasks and a fundamental task per
//     job back to tone_queue and completes rows in job order)
//
// Threads, all started by start() and joined by stop():
//   orvel-correlate  workers of them, nice 10   correlation_main
//   orvel-tone       workers of them, nice 10   detector_main
//   orvel-collector  one                        collector_main
// Each tone detector and the collector keeps its own JobWindow
// (tone_detector.h): the running sums of its current job's window, which no
// other thread reads.
// The caller of accept_block (the block assembler) is the only feeder.
// The program's other threads belong to the objects around the engine:
//   orvel-assembler  one, nice 0           BlockAssembler (audio/block_assembler.h)
//   orvel-generator  one, nice 0           Generator (siggen/generator.h)
//   JACK's process   real-time             JackClient (audio/jack_client.h): takes
//                    callback              no lock, wakes nobody, allocates nothing
//   JACK's notifier  libjack's own         JackClient's server callbacks (shutdown,
//                                          rate, period size): atomics only
//   toolkit (main)   owns every widget and the JackClient, ServerWatch
//   orvel-analyze-j  -j - 1 of them        orvel-analyze's files at once, each
//                    (and main)            with an engine of its own; joined
// The assembler and the generator keep the ordinary policy, above the
// analysis (nice 10) and below the server: their rings hold 107 ms or more,
// and SCHED_FIFO 10 for both made no fewer dry or dropped groups and no
// fewer xruns (scripts/xrun_variants.sh fifo; docs/performance.md).
// The assembler, the generator and the paced feeders wait on their
// SampleExchange's ring_mutex (audio/rate_conversion.h), never together
// with an engine lock.
//
// Locks, each a member next to what it guards (Clang checks it):
//   results_mutex_  the result rows, correlation_sum, input_history and the
//                   decay: what the views read
//   jobs_mutex_     the job counters and the fold order; jobs_changed_ is
//                   broadcast on every change
//   pool_mutex_     the jobs kept for reuse
//   each queue's own lock, held only inside the queue's functions
// Beside the engine: the exchange's ring_mutex (above), the generator's
// params_mutex_ (the toolkit's settings for its thread), and in
// orvel-analyze OrderedOutput's mutex_ (standard output in command-line
// order for the -j threads); none is held with an engine lock.
// results_mutex_ and jobs_mutex_ are never held together: release one
// before taking the other. Clang checks it (scripts/test.sh): both are
// ApartMutex, taken only by an ApartLock that names the other
// (EXCLUDES it), and every function that takes either EXCLUDES both, so
// taking one, or calling such a function, with the other held fails the
// build. Settings are atomics: a reader needs some recent
// value, never one ordered with other data (relaxed).
//
// Memory: a job is ONE allocation of job_bytes(), its record, its arrays and
// its G + 4 tasks (new_task hands them out of the job's own room), taken
// from the job pool (new_job, which keeps up to the jobs in flight for
// reuse) and handed back whole by free_job: in the steady state no stage
// allocates, per job or per task. Jobs in flight stay within
// job_memory_budget and below JOBS_PER_WORKER per worker (job_limit).
// Rows: a row is final once its job completes (ResultView::row_final). A
// job given up (the give_up task, abandon_job) leaves a row that reads as
// not measured everywhere: not final, every tone level 0 (below
// MEASURED_LEVEL), no pitch-class peak, no fundamental. The decay reads the
// row before only when that row is final: after a gap nothing decays across
// it, and the next row starts afresh from its own levels.
#pragma once

#include "engine/band_table.h"
#include "engine/engine_types.h"
#include "engine/mutex.h"
#include "engine/pitch.h"
#include "engine/work_queue.h"

#include <QString>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <thread>
#include <vector>

class SpectralScratch;
struct ToneSums;
class WindowProbe;
class JobWindow;
class ToneWindow;

// Immutable for an engine's life.
struct EngineConfig {
    int sample_rate = DEFAULT_SAMPLE_RATE;  // engine rate in Hz, dividing SERVER_RATE
    int workers = DEFAULT_WORKERS;          // correlation workers, and tone detectors (1..16)
    std::uint64_t window_size = 0;          // W: samples per analysis, a multiple of 1024
    // The plain reference kernels instead of the fast ones, which sum in
    // another order: for the tests and benchmarks that compare the two.
    bool literal_paths = false;
    std::uint64_t job_memory_budget = JOB_MEMORY_BUDGET;  // bytes that jobs in flight may take
};

// A configuration for rate, a -w request (derive_window_size) and workers.
// The window is 0 when the request leaves none.
EngineConfig engine_config(int rate, std::int64_t window_request = 0, int workers = DEFAULT_WORKERS);

struct JobCounts {
    std::uint64_t submitted;  // jobs made so far
    std::uint64_t completed;  // jobs completed, in job order: rows of jobs below it are final
    std::uint64_t skipped;    // blocks that made no job, or whose job was given up
};

// The results as one consistent, still picture: valid only inside the
// read_results callback that received it (results_mutex_ is held).
struct ResultView {
    const double *correlation_sum;             // W decayed correlation values; index i is a delay of W - 1 - i
    std::uint64_t window_size;                 // W
    const ToneEntry *tone_rows;                // RESULT_ROWS rows of groups entries
    std::uint64_t groups;                      // G
    const PitchClassPeak *pitch_class_rows;    // RESULT_ROWS rows of PITCH_CLASS_COUNT
    const CorrelationPeak *correlation_rows;   // RESULT_ROWS rows
    const std::uint64_t *row_final_job;        // per row: 1 + the job whose row is final there, 0 none
    const double *input_history;               // ring of the last N main-channel samples
    std::uint64_t input_history_length;        // N = W + 1024
    std::uint64_t input_history_next;          // where the next block goes: the oldest block starts here
    std::uint64_t completed;                   // jobs completed as the rows show it
    const FundamentalReading *fundamental_rows;  // RESULT_ROWS: each row's fundamental, not found when none

    // The newest final row's job; only when completed > 0.
    std::uint64_t newest_final() const { return completed - 1; }
    // Whether job seq's row is final and not yet overwritten: false from the
    // moment a later job in its slot begins writing (its fold), and for a job
    // given up, whose slot reads as not measured (see above).
    bool row_final(std::uint64_t seq) const { return row_final_job[seq % RESULT_ROWS] == seq + 1; }
    const ToneEntry *tone_row(std::uint64_t seq) const { return tone_rows + (seq % RESULT_ROWS) * groups; }
    const PitchClassPeak *pitch_classes(std::uint64_t seq) const
    {
        return pitch_class_rows + (seq % RESULT_ROWS) * PITCH_CLASS_COUNT;
    }
    const CorrelationPeak &correlation_peak(std::uint64_t seq) const { return correlation_rows[seq % RESULT_ROWS]; }
    const FundamentalReading &fundamental(std::uint64_t seq) const { return fundamental_rows[seq % RESULT_ROWS]; }
    // The job back rows before the newest completed one (0 = the newest;
    // back below RESULT_ROWS), for the accessors above. Where back reaches
    // past the first job, a job still to come, whose row is not final: its
    // slot holds zeros unless that job is under way.
    std::uint64_t job_back(std::uint64_t back) const
    {
        return completed > back ? completed - 1 - back : completed + RESULT_ROWS - 1 - back;
    }
};

class Engine {
public:
    // Allocates everything for config; starts no thread. Ends the process
    // with "Invalid number of octaves" when the rate leaves no octave on
    // either side of 440 Hz.
    explicit Engine(const EngineConfig &config);
    ~Engine();  // stop()s
    Engine(const Engine &) = delete;
    Engine &operator=(const Engine &) = delete;

    // Start the threads; once. Stop ends and joins every thread started and
    // frees the jobs still in flight; the results stay readable. Idempotent.
    void start();
    void stop() EXCLUDES(results_mutex_, jobs_mutex_);

    // ---- configuration, fixed: any thread, no lock ----------------------------
    const EngineConfig &config() const { return config_; }
    int sample_rate() const { return config_.sample_rate; }
    std::uint64_t window_size() const { return config_.window_size; }
    int workers() const { return config_.workers; }
    std::uint64_t input_history_length() const { return config_.window_size + BLOCK_LEN; }  // N
    std::uint64_t band_count() const { return bands_.count; }                               // B
    std::uint64_t group_count() const { return bands_.count / BANDS_PER_GROUP; }             // G
    const double *band_freq() const { return bands_.freq.data(); }                          // B, Hz
    const QString *band_name() const { return bands_.name.data(); }                         // B
    const std::uint8_t *third_octave_band() const { return bands_.third_octave.data(); }    // G, ISO band 1..31

    // ---- the user's settings: any thread ----------------------------------------
    void toggle_freeze();
    bool analysis_frozen() const;
    void toggle_record();
    bool recording_on() const;
    void set_sensitivity(int exponent);  // 0..31: tone levels below 2^exponent are not shown
    int current_sensitivity() const;
    void set_decay_choice(int k) EXCLUDES(results_mutex_, jobs_mutex_);  // 0 = "OFF" .. 6 = "1/256"; takes results_mutex_
    void set_fine_tuning(int thousandths);  // of a semitone, -2088 .. 1863 (A4 390 .. 490 Hz)
    // The same setting as the A the grid is tuned to, in Hz (390 .. 490):
    // 442 is a fine tuning of 78.5 thousandths.
    void set_reference_a4(double hz);
    double reference_a4() const;            // 440 times tuning_factor()
    double tuning_factor() const;           // 2^(thousandths / 12000), or A4 / 440
    // The channels (AnalysisChannel, engine_types.h) the feeder hands over:
    // main is appended to input_history, corr sent time-reversed as each
    // job's reference. A value outside 0 .. CHANNEL_COUNT - 1 is refused:
    // ignored, the channel stays as it was (returns false). The getters
    // therefore always return a channel that indexes CHANNEL_COUNT blocks.
    bool set_main_channel(int channel);
    bool set_corr_channel(int channel);
    AnalysisChannel main_channel() const;
    AnalysisChannel corr_channel() const;

    // ---- the feeder (the block assembler's thread) ------------------------------
    // One block of the main and the correlated channel (BLOCK_LEN each, in
    // time order). Unless frozen, appends main to input_history and makes a
    // job of it, or counts the block skipped when the jobs in flight are at
    // their bound or memory is short. Returns whether a job was made.
    bool accept_block(const double *main_block, const double *corr_block) EXCLUDES(results_mutex_, jobs_mutex_);

    // The spectrum panel's Reset: zero input_history and correlation_sum.
    // Rows and counters stay. Any thread but the real-time one.
    void reset_history_and_correlation() EXCLUDES(results_mutex_, jobs_mutex_);
    // Zero the result rows, so that nothing of one sound file decays into
    // the next. Only while no job is in flight.
    void clear_rows() EXCLUDES(results_mutex_, jobs_mutex_);

    // ---- counters: any thread but the real-time one ------------------------------
    JobCounts job_counts() const EXCLUDES(results_mutex_, jobs_mutex_);
    std::uint64_t blocks_skipped() const EXCLUDES(results_mutex_, jobs_mutex_);
    // Jobs made but not completed at once are bounded: few enough that their
    // memory stays within the budget, their rows do not collide, and no more
    // than JOBS_PER_WORKER per worker, so that the analysis stays on recent
    // sound when it cannot keep up.
    std::uint64_t job_limit() const EXCLUDES(results_mutex_, jobs_mutex_);
    void set_job_memory_budget(std::uint64_t bytes) EXCLUDES(results_mutex_, jobs_mutex_);  // tests
    // Bytes one job and its tasks take.
    std::uint64_t job_bytes() const;
    // Wait until done(counts) holds, re-tested whenever the counters change;
    // false when deadline passed first.
    bool wait_for_jobs(const std::function<bool(const JobCounts &)> &done,
                       std::chrono::steady_clock::time_point deadline) EXCLUDES(results_mutex_, jobs_mutex_);
    void wait_until_in_flight_below(std::uint64_t count) EXCLUDES(results_mutex_, jobs_mutex_);
    void wait_until_all_completed() EXCLUDES(results_mutex_, jobs_mutex_);

    // ---- results: the one way to read them --------------------------------------
    // Runs read(view) with results_mutex_ held; read must not call back into
    // the engine. Any thread but the real-time one.
    template <typename Read>
    void read_results(Read &&read) const EXCLUDES(results_mutex_, jobs_mutex_)
    {
        ApartLock lock(results_mutex_, jobs_mutex_);
        read(view_locked());
    }

    // Samples run through the tone kernel so far, for the benchmarks and
    // the soak script. Any thread; relaxed.
    std::uint64_t tone_samples_measured() const { return tone_samples_.load(std::memory_order_relaxed); }

    // ---- the stages, one step at a time ----------------------------------------
    // What the threads do, public so that a test can drive a stage by hand
    // on an engine it did not start. Any thread, as the threads call them.
    // A job is ONE block of job_bytes(): its record, its arrays and room for
    // its G + TASKS_BEYOND_GROUPS tasks (engine/work_queue.h).
    AnalysisJob *new_job();             // sized for this engine, from the kept ones first; null when memory is short
    void free_job(AnalysisJob *job);    // kept for reuse while few are kept, else freed; null ignored; its tasks go with it
    // One of the job's own tasks, allocating nothing; null once all its
    // G + TASKS_BEYOND_GROUPS are handed out. A task is never freed by itself.
    BandTask *new_task(std::uint64_t band, AnalysisJob *job);
    // By the configured path; with the calling thread's scratch unless given one.
    void compute_lags(AnalysisJob *job, SpectralScratch *scratch = nullptr);
    void fold_lags(AnalysisJob *job) EXCLUDES(results_mutex_, jobs_mutex_); // into correlation_sum, noting the extremes
    bool dispatch_coarse_tasks(AnalysisJob *job);              // false, nothing pushed, when memory is short
    void abandon_job(AnalysisJob *job);                        // to the collector, to be completed rowless
    double band_step(std::uint64_t band) const;                // cycles per sample, tuned
    // A job's window (W samples) measured at any band by the detectors' kernel
    // path (engine/tone_detector.h); the prepared window must outlive it.
    WindowProbe window_probe(const ToneWindow &window) const;
    // The tone kernel's sums over the newest length samples of a job's window
    // (W samples, oldest first) at step, by the configured path, counted in
    // tone_samples_measured.
    ToneSums newest_tone_sums(const ToneWindow &window, std::uint64_t length, double step) const;
    // A tone detector's work for one task, and the collector's (collector
    // thread only), with the caller's prepared window, kept from task to task
    // as their threads keep it; without one, a window prepared for the task.
    void detect_task(BandTask *task, JobWindow &prepared);
    void collect_task(BandTask *task, JobWindow &prepared) EXCLUDES(results_mutex_, jobs_mutex_);
    void detect_task(BandTask *task);
    void collect_task(BandTask *task) EXCLUDES(results_mutex_, jobs_mutex_);

    WorkQueue<AnalysisJob> job_queue;
    WorkQueue<BandTask> tone_queue;
    WorkQueue<BandTask> collect_queue;

private:
    ResultView view_locked() const REQUIRES(results_mutex_);
    void correlation_main() EXCLUDES(results_mutex_, jobs_mutex_);
    void detector_main();
    void collector_main();
    void fill_job(AnalysisJob *job, const double *corr_block) EXCLUDES(results_mutex_, jobs_mutex_);
    std::uint64_t job_limit_locked() const REQUIRES(jobs_mutex_);
    std::uint64_t dispatch_refinement(AnalysisJob *job, JobWindow &prepared);
    void complete_in_order(AnalysisJob *job) EXCLUDES(results_mutex_, jobs_mutex_);
    void finish_job(AnalysisJob *job) EXCLUDES(results_mutex_, jobs_mutex_);
    void complete_given_up(AnalysisJob *job) EXCLUDES(results_mutex_, jobs_mutex_);
    void count_completed(bool skipped) EXCLUDES(results_mutex_, jobs_mutex_);
    double window_level(const ToneWindow &window, double *out, double step) const;
    void free_jobs_in_flight();
    static AnalysisJob *new_job_block(std::uint64_t bytes);  // zeroed; null when memory is short
    static void release_job_block(AnalysisJob *job);

    const EngineConfig config_;
    const BandTable bands_;

    // ---- results ----
    mutable ApartMutex results_mutex_;
    std::vector<double> correlation_sum_ GUARDED_BY(results_mutex_);     // W decayed correlation values
    std::vector<double> input_history_ GUARDED_BY(results_mutex_);       // ring of the last N main-channel samples
    std::vector<ToneEntry> tone_rows_ GUARDED_BY(results_mutex_);        // RESULT_ROWS rows of G entries
    std::vector<PitchClassPeak> pitch_class_rows_ GUARDED_BY(results_mutex_);  // RESULT_ROWS rows of 12
    std::vector<CorrelationPeak> correlation_rows_ GUARDED_BY(results_mutex_); // RESULT_ROWS rows
    std::vector<FundamentalReading> fundamental_rows_ GUARDED_BY(results_mutex_);  // RESULT_ROWS
    std::vector<std::uint64_t> row_final_job_ GUARDED_BY(results_mutex_);  // per row: 1 + its final job, 0 none
    std::uint64_t rows_completed_ GUARDED_BY(results_mutex_) = 0;  // jobs_completed_ as the rows show it
    double decay_factor_ GUARDED_BY(results_mutex_) = 0.0;         // 0.0 or 1 - 1/2^(choice + 2)
    std::uint64_t input_history_pos_ GUARDED_BY(results_mutex_) = 0;  // next write offset in input_history_

    // ---- counters ----
    mutable ApartMutex jobs_mutex_;
    mutable CondVar jobs_changed_;
    std::uint64_t jobs_folded_ GUARDED_BY(jobs_mutex_) = 0;     // folded into correlation_sum, in job order
    std::uint64_t jobs_submitted_ GUARDED_BY(jobs_mutex_) = 0;  // jobs made
    std::uint64_t jobs_completed_ GUARDED_BY(jobs_mutex_) = 0;  // jobs completed, in order
    // Blocks that made no job (jobs in flight at their bound, memory short,
    // a job given up); such blocks still enter input_history.
    std::uint64_t blocks_skipped_ GUARDED_BY(jobs_mutex_) = 0;
    std::uint64_t job_memory_budget_ GUARDED_BY(jobs_mutex_);   // bytes
    bool stopping_ GUARDED_BY(jobs_mutex_) = false;              // stop() has begun

    // ---- job pool ----
    Mutex pool_mutex_;
    AnalysisJob *kept_jobs_ GUARDED_BY(pool_mutex_) = nullptr;  // linked through next
    std::uint64_t kept_job_count_ GUARDED_BY(pool_mutex_) = 0;

    // ---- settings ----
    std::atomic<int> freeze_{0};         // 1 = blocks make no jobs
    std::atomic<int> record_{0};         // 1 = the window logs and plays each new row
    std::atomic<int> sensitivity_{0};    // 0..31, the strip's threshold exponent
    std::atomic<AnalysisChannel> main_channel_{CHANNEL_INPUT_0};  // never out of range
    std::atomic<AnalysisChannel> corr_channel_{CHANNEL_INPUT_0};
    std::atomic<double> tuning_factor_{1.0};

    // ---- collector thread only ----
    // Jobs whose passes are done, each waiting for the jobs before it; fewer
    // than RESULT_ROWS are ever in flight, so their slots never meet.
    std::vector<AnalysisJob *> waiting_turn_;
    std::uint64_t next_to_complete_ = 0;  // the job whose turn it is

    mutable std::atomic<std::uint64_t> tone_samples_{0};  // counted by const measurements too
    std::vector<std::thread> threads_;   // the toolkit's (or owner's) thread alone
    bool started_ = false;
};

// Lower the calling analysis thread below the audio threads: the toolkit's
// LowPriority changes nothing for ordinary Linux threads, so the nice value
// is raised as well. Sound must never wait for the analysis.
void lower_analysis_thread_priority();

// Start a thread running body, named name (at most 15 characters: top -H and
// /proc show it). The caller owns it and joins it.
std::thread start_named_thread(const char *name, std::function<void()> body);
