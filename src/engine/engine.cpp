#include "engine/engine.h"

#include "engine/command_line.h"
#include "engine/temperament.h"

#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <QThread>

#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <set>

namespace {

// Enough to let audio threads of nice 0 win nearly every contest for a core.
constexpr int ANALYSIS_NICE = 10;

}  // namespace

double decay_for_choice(int k)
{
    return k == 0 ? 0.0 : 1.0 - 1.0 / std::pow(2.0, k + 2);
}

EngineConfig engine_config(int rate, std::int64_t window_request, int workers)
{
    EngineConfig config;
    config.sample_rate = rate;
    config.workers = workers;
    config.window_size = derive_window_size(window_request, rate);
    return config;
}

void lower_analysis_thread_priority()
{
    QThread::currentThread()->setPriority(QThread::LowPriority);
    // Linux keeps a nice value per thread; a failure leaves the thread as it was.
    [[maybe_unused]] const int result = setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), ANALYSIS_NICE);
}

std::thread start_named_thread(const char *name, std::function<void()> body)
{
    std::thread thread(std::move(body));
    pthread_setname_np(thread.native_handle(), name);
    return thread;
}

Engine::Engine(const EngineConfig &config)
    : config_(config),
      bands_(make_band_table(config.sample_rate)),
      job_memory_budget_(config.job_memory_budget),
      waiting_turn_(RESULT_ROWS, nullptr)
{
    ApartLock lock(results_mutex_, jobs_mutex_);
    correlation_sum_.assign(config_.window_size, 0.0);
    input_history_.assign(input_history_length(), 0.0);
    tone_rows_.assign(RESULT_ROWS * group_count(), ToneEntry{});
    pitch_class_rows_.assign(RESULT_ROWS * PITCH_CLASS_COUNT, PitchClassPeak{});
    fundamental_rows_.assign(RESULT_ROWS, FundamentalReading{});
    correlation_rows_.assign(RESULT_ROWS, CorrelationPeak{});
    row_final_job_.assign(RESULT_ROWS, 0);
}

Engine::~Engine()
{
    stop();
    MutexLock lock(pool_mutex_);
    while (AnalysisJob *job = kept_jobs_) {
        kept_jobs_ = job->next;
        release_job_block(job);
    }
}

void Engine::start()
{
    if (started_)
        return;
    started_ = true;
    // The detectors and the collector wait on their empty queues first, so
    // the first job finds every stage ready.
    for (int i = 0; i < config_.workers; i++)
        threads_.push_back(start_named_thread("orvel-tone", [this] { detector_main(); }));
    for (int i = 0; i < config_.workers; i++)
        threads_.push_back(start_named_thread("orvel-correlate", [this] { correlation_main(); }));
    threads_.push_back(start_named_thread("orvel-collector", [this] { collector_main(); }));
}

void Engine::stop()
{
    {
        ApartLock lock(jobs_mutex_, results_mutex_);
        if (stopping_)
            return;
        stopping_ = true;
        jobs_changed_.broadcast();
    }
    job_queue.close();
    tone_queue.close();
    collect_queue.close();
    for (std::thread &thread : threads_)
        thread.join();
    threads_.clear();
    free_jobs_in_flight();
}

void Engine::free_jobs_in_flight()
{
    // Every thread has ended: what is left lies in the queues or waits for
    // its turn at the collector. A job may have tasks in both queues; the
    // tasks live in their job's block and go with it.
    std::set<AnalysisJob *> jobs;
    while (AnalysisJob *job = job_queue.try_pop())
        jobs.insert(job);
    for (WorkQueue<BandTask> *queue : {&tone_queue, &collect_queue}) {
        while (BandTask *task = queue->try_pop())
            jobs.insert(task->job);
    }
    for (AnalysisJob *&job : waiting_turn_) {
        if (job != nullptr)
            jobs.insert(job);
        job = nullptr;
    }
    for (AnalysisJob *job : jobs)
        free_job(job);
}

// ---- settings ----------------------------------------------------------------

void Engine::toggle_freeze() { freeze_.fetch_xor(1, std::memory_order_relaxed); }
bool Engine::analysis_frozen() const { return freeze_.load(std::memory_order_relaxed) != 0; }
void Engine::toggle_record() { record_.fetch_xor(1, std::memory_order_relaxed); }
bool Engine::recording_on() const { return record_.load(std::memory_order_relaxed) != 0; }
void Engine::set_sensitivity(int exponent) { sensitivity_.store(exponent, std::memory_order_relaxed); }
int Engine::current_sensitivity() const { return sensitivity_.load(std::memory_order_relaxed); }
namespace {

bool store_channel(std::atomic<AnalysisChannel> &setting, int channel)
{
    if (channel < 0 || channel >= CHANNEL_COUNT)
        return false;
    setting.store(static_cast<AnalysisChannel>(channel), std::memory_order_relaxed);
    return true;
}

}  // namespace

bool Engine::set_main_channel(int channel) { return store_channel(main_channel_, channel); }
bool Engine::set_corr_channel(int channel) { return store_channel(corr_channel_, channel); }
AnalysisChannel Engine::main_channel() const { return main_channel_.load(std::memory_order_relaxed); }
AnalysisChannel Engine::corr_channel() const { return corr_channel_.load(std::memory_order_relaxed); }

void Engine::set_decay_choice(int k)
{
    const double factor = decay_for_choice(k);
    ApartLock lock(results_mutex_, jobs_mutex_);
    decay_factor_ = factor;
}

void Engine::set_fine_tuning(int thousandths)
{
    tuning_factor_.store(std::pow(2.0, thousandths / 12000.0), std::memory_order_relaxed);
}

void Engine::set_reference_a4(double hz)
{
    tuning_factor_.store(hz / CONCERT_A4_HZ, std::memory_order_relaxed);
}

double Engine::reference_a4() const
{
    return CONCERT_A4_HZ * tuning_factor();
}

double Engine::tuning_factor() const
{
    return tuning_factor_.load(std::memory_order_relaxed);
}

// ---- the feeder ----------------------------------------------------------------

bool Engine::accept_block(const double *main_block, const double *corr_block)
{
    if (analysis_frozen())
        return false;
    // When the analysis falls behind, jobs would pile up without bound; the
    // history still advances so the next job sees the newest sound.
    bool room;
    {
        ApartLock lock(jobs_mutex_, results_mutex_);
        room = jobs_submitted_ - jobs_completed_ < job_limit_locked();
    }
    {
        ApartLock lock(results_mutex_, jobs_mutex_);
        std::memcpy(input_history_.data() + input_history_pos_, main_block, BLOCK_LEN * sizeof(double));
        input_history_pos_ = (input_history_pos_ + BLOCK_LEN) % input_history_length();
    }

    AnalysisJob *job = room ? new_job() : nullptr;
    {
        ApartLock lock(jobs_mutex_, results_mutex_);
        if (job != nullptr)
            job->seq = jobs_submitted_++;
        else
            blocks_skipped_++;
        jobs_changed_.broadcast();
    }
    if (job == nullptr)
        return false;
    fill_job(job, corr_block);
    job_queue.push(job);
    return true;
}

void Engine::fill_job(AnalysisJob *job, const double *corr_block)
{
    // Oldest block first: input_history_pos_ now points at it. Chunks never
    // wrap since both the offsets and the length are multiples of a block.
    const std::uint64_t n = input_history_length();
    {
        ApartLock lock(results_mutex_, jobs_mutex_);
        for (std::uint64_t off = 0; off < n; off += BLOCK_LEN)
            std::memcpy(job->samples + off, input_history_.data() + (input_history_pos_ + off) % n,
                        BLOCK_LEN * sizeof(double));
    }
    for (std::uint32_t k = 0; k < BLOCK_LEN; k++)
        job->reference[k] = corr_block[BLOCK_LEN - 1 - k];
}

void Engine::reset_history_and_correlation()
{
    ApartLock lock(results_mutex_, jobs_mutex_);
    std::fill(input_history_.begin(), input_history_.end(), 0.0);
    std::fill(correlation_sum_.begin(), correlation_sum_.end(), 0.0);
}

void Engine::clear_rows()
{
    ApartLock lock(results_mutex_, jobs_mutex_);
    std::fill(tone_rows_.begin(), tone_rows_.end(), ToneEntry{});
    std::fill(pitch_class_rows_.begin(), pitch_class_rows_.end(), PitchClassPeak{});
    std::fill(fundamental_rows_.begin(), fundamental_rows_.end(), FundamentalReading{});
    std::fill(correlation_rows_.begin(), correlation_rows_.end(), CorrelationPeak{});
}

// ---- counters --------------------------------------------------------------------

JobCounts Engine::job_counts() const
{
    ApartLock lock(jobs_mutex_, results_mutex_);
    return {jobs_submitted_, jobs_completed_, blocks_skipped_};
}

std::uint64_t Engine::blocks_skipped() const
{
    ApartLock lock(jobs_mutex_, results_mutex_);
    return blocks_skipped_;
}

std::uint64_t Engine::job_bytes() const
{
    // samples (N) + reference (1024) + product (N + 1024) + semitone_level
    // and coarse_level (G each), then the tasks: exactly new_job's block.
    const std::uint64_t groups = group_count();
    return sizeof(AnalysisJob) + (2 * input_history_length() + 2 * BLOCK_LEN + 2 * groups) * sizeof(double)
        + (groups + TASKS_BEYOND_GROUPS) * sizeof(BandTask);
}

std::uint64_t Engine::job_limit_locked() const
{
    // Rows are reused every RESULT_ROWS jobs, and the in-flight count is
    // shown modulo that, so stay one below it.
    constexpr std::uint64_t row_bound = RESULT_ROWS - 1;
    // A few jobs per worker keep every worker busy; more would only queue up
    // and make what the window shows older.
    const std::uint64_t latency_bound = JOBS_PER_WORKER * static_cast<std::uint64_t>(std::max(config_.workers, 1));
    return std::clamp<std::uint64_t>(std::min(job_memory_budget_ / job_bytes(), latency_bound), 1, row_bound);
}

std::uint64_t Engine::job_limit() const
{
    ApartLock lock(jobs_mutex_, results_mutex_);
    return job_limit_locked();
}

void Engine::set_job_memory_budget(std::uint64_t bytes)
{
    ApartLock lock(jobs_mutex_, results_mutex_);
    job_memory_budget_ = bytes;
}

bool Engine::wait_for_jobs(const std::function<bool(const JobCounts &)> &done,
                           std::chrono::steady_clock::time_point deadline)
{
    ApartLock lock(jobs_mutex_, results_mutex_);
    while (!done(JobCounts{jobs_submitted_, jobs_completed_, blocks_skipped_})) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        jobs_changed_.wait_until(jobs_mutex_, deadline);
    }
    return true;
}

void Engine::wait_until_in_flight_below(std::uint64_t count)
{
    ApartLock lock(jobs_mutex_, results_mutex_);
    while (jobs_submitted_ - jobs_completed_ >= count && !stopping_)
        jobs_changed_.wait(jobs_mutex_);
}

void Engine::wait_until_all_completed()
{
    ApartLock lock(jobs_mutex_, results_mutex_);
    while (jobs_completed_ != jobs_submitted_ && !stopping_)
        jobs_changed_.wait(jobs_mutex_);
}

void Engine::count_completed(bool skipped)
{
    ApartLock lock(jobs_mutex_, results_mutex_);
    if (skipped)
        blocks_skipped_++;
    jobs_completed_++;
    jobs_changed_.broadcast();
}

// ---- results --------------------------------------------------------------------

ResultView Engine::view_locked() const
{
    return {correlation_sum_.data(),   config_.window_size,      tone_rows_.data(),
            group_count(),             pitch_class_rows_.data(), correlation_rows_.data(),
            row_final_job_.data(),     input_history_.data(), input_history_length(),
            input_history_pos_,        rows_completed_,          fundamental_rows_.data()};
}

// ---- the job pool -----------------------------------------------------------------

AnalysisJob *Engine::new_job()
{
    const std::uint64_t n = input_history_length();
    const std::uint64_t g = group_count();
    const std::uint64_t max_doubles = (std::numeric_limits<std::size_t>::max() - sizeof(AnalysisJob)) / sizeof(double);
    if (n > max_doubles / 8 || g > max_doubles / 8)
        return nullptr;
    const std::uint64_t bytes = job_bytes();

    AnalysisJob *job = nullptr;
    {
        MutexLock lock(pool_mutex_);
        job = kept_jobs_;
        if (job != nullptr) {
            kept_jobs_ = job->next;
            kept_job_count_--;
        }
    }
    if (job != nullptr) {
        std::memset(static_cast<void *>(job), 0, sizeof(AnalysisJob));
        // Only the literal correlation adds into product; the spectral one
        // writes the lags it leaves there.
        if (config_.literal_paths)
            std::memset(reinterpret_cast<double *>(job + 1) + n + BLOCK_LEN, 0, (n + BLOCK_LEN) * sizeof(double));
    } else {
        job = new_job_block(bytes);
        if (job == nullptr)
            return nullptr;
    }
    // The record, its arrays, then its tasks: BandTask is aligned as double.
    static_assert(alignof(BandTask) <= alignof(double) && alignof(AnalysisJob) >= alignof(double));
    auto *arrays = reinterpret_cast<double *>(job + 1);
    job->samples = arrays;
    job->reference = job->samples + n;
    job->product = job->reference + BLOCK_LEN;
    job->semitone_level = job->product + n + BLOCK_LEN;
    job->coarse_level = job->semitone_level + g;
    job->tasks = reinterpret_cast<BandTask *>(job->coarse_level + g);
    job->task_room = g + TASKS_BEYOND_GROUPS;
    job->tasks_made = 0;
    job->bytes = bytes;
    return job;
}

AnalysisJob *Engine::new_job_block(std::uint64_t bytes)
{
    // Zeroed, as a new job's arrays start; the record is an implicit-lifetime
    // type, begun by the allocation itself.
    void *block = ::operator new(bytes, std::nothrow);
    if (block != nullptr)
        std::memset(block, 0, bytes);
    return static_cast<AnalysisJob *>(block);
}

void Engine::release_job_block(AnalysisJob *job)
{
    ::operator delete(static_cast<void *>(job));
}

void Engine::free_job(AnalysisJob *job)
{
    if (job == nullptr)
        return;
    // Jobs are large (the window twice), and allocating them anew for every
    // block makes the allocator map and unmap memory, which stalls every
    // processor the process runs on: keep as many as may be in flight.
    const std::uint64_t most =
        std::min<std::uint64_t>(JOBS_PER_WORKER * static_cast<std::uint64_t>(std::max(config_.workers, 1)),
                                std::max<std::uint64_t>(1, JOB_MEMORY_BUDGET / job->bytes));
    {
        MutexLock lock(pool_mutex_);
        if (kept_job_count_ < most) {
            job->next = kept_jobs_;
            kept_jobs_ = job;
            kept_job_count_++;
            return;
        }
    }
    release_job_block(job);
}

BandTask *Engine::new_task(std::uint64_t band, AnalysisJob *job)
{
    // The job's own room: no allocation. Only its owner hands tasks out (the
    // correlation worker the coarse pass's, the collector the refinement's),
    // one after the other.
    if (job->tasks_made == job->task_room)
        return nullptr;
    BandTask *task = &job->tasks[job->tasks_made++];
    task->band = band;
    task->job = job;
    return task;
}
