#include "engine/engine_state.h"

#include <sys/resource.h>
#include <unistd.h>

#include <QThread>

#include <cmath>
#include <ctime>

namespace {

// Enough to let audio threads of nice 0 win nearly every contest for a core.
constexpr int ANALYSIS_NICE = 10;

}  // namespace

// ---- start-up parameters ----------------------------------------------------
int sample_rate = 16000;
int worker_count = 2;
std::uint64_t window_size = 0;
std::uint64_t input_history_length = 0;
std::uint64_t band_count = 0;
double *band_freq = nullptr;
QString *band_name = nullptr;
std::uint8_t *third_octave_band = nullptr;
std::uint64_t result_row_count = 0;
bool literal_paths = false;

// ---- run-time settings --------------------------------------------------------
double decay_factor = 0.0;
std::atomic<double> tuning_factor{1.0};
int freeze_flag = 0;

namespace {

int record_flag = 0;   // audio_mutex; 1 = log and play each new row
int sensitivity = 0;   // audio_mutex; 0..31, the strip's threshold exponent

}  // namespace

// ---- results and counters -----------------------------------------------------
double *correlation_sum = nullptr;
double *input_history = nullptr;
std::uint64_t input_history_pos = 0;
ToneEntry *tone_rows = nullptr;
PitchClassPeak *pitch_class_rows = nullptr;
CorrelationPeak *correlation_rows = nullptr;
std::uint64_t *row_final_job = nullptr;
std::uint64_t jobs_folded = 0;
std::uint64_t jobs_submitted = 0;
std::uint64_t jobs_completed = 0;
std::uint64_t blocks_skipped = 0;

// ---- locks --------------------------------------------------------------------
pthread_mutex_t audio_mutex = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t audio_cond = PTHREAD_COND_INITIALIZER;
pthread_mutex_t result_mutex = PTHREAD_MUTEX_INITIALIZER;

void engine_init_locks()
{
    pthread_mutex_init(&audio_mutex, nullptr);
    pthread_mutex_init(&result_mutex, nullptr);
    pthread_cond_init(&audio_cond, nullptr);
}

void audio_lock() { pthread_mutex_lock(&audio_mutex); }
void audio_unlock() { pthread_mutex_unlock(&audio_mutex); }
void audio_wait() { pthread_cond_wait(&audio_cond, &audio_mutex); }
void audio_wakeup() { pthread_cond_broadcast(&audio_cond); }
void result_lock() { pthread_mutex_lock(&result_mutex); }
void result_unlock() { pthread_mutex_unlock(&result_mutex); }

void start_engine_thread(void *(*body)(void *), const char *name)
{
    pthread_t thread;
    if (pthread_create(&thread, nullptr, body, nullptr) != 0)
        return;
    if (name != nullptr)
        pthread_setname_np(thread, name);
    pthread_detach(thread);
}

void lower_analysis_thread_priority()
{
    QThread::currentThread()->setPriority(QThread::LowPriority);
    // Linux keeps a nice value per thread; a failure leaves the thread as it was.
    [[maybe_unused]] const int result = setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), ANALYSIS_NICE);
}

void audio_wait_for(long timeout_us)
{
    timespec until;
    clock_gettime(CLOCK_REALTIME, &until);
    until.tv_nsec += timeout_us * 1000;
    until.tv_sec += until.tv_nsec / 1000000000;
    until.tv_nsec %= 1000000000;
    pthread_cond_timedwait(&audio_cond, &audio_mutex, &until);
}

void toggle_freeze()
{
    audio_lock();
    freeze_flag = freeze_flag == 0 ? 1 : 0;
    audio_wakeup();
    audio_unlock();
}

void toggle_record()
{
    audio_lock();
    record_flag = record_flag == 0 ? 1 : 0;
    audio_wakeup();
    audio_unlock();
}

bool analysis_frozen()
{
    audio_lock();
    const bool frozen = freeze_flag != 0;
    audio_unlock();
    return frozen;
}

bool recording_on()
{
    audio_lock();
    const bool on = record_flag != 0;
    audio_unlock();
    return on;
}

void set_sensitivity(int exponent)
{
    audio_lock();
    sensitivity = exponent;
    audio_wakeup();
    audio_unlock();
}

int current_sensitivity()
{
    audio_lock();
    const int exponent = sensitivity;
    audio_unlock();
    return exponent;
}

double decay_for_choice(int k)
{
    return k == 0 ? 0.0 : 1.0 - 1.0 / std::pow(2.0, k + 2);
}

void set_decay_choice(int k)
{
    const double factor = decay_for_choice(k);
    result_lock();
    decay_factor = factor;
    result_unlock();
}

void set_fine_tuning(int thousandths)
{
    tuning_factor.store(std::pow(2.0, thousandths / 12000.0), std::memory_order_relaxed);
}

JobCounts job_counts()
{
    audio_lock();
    const JobCounts counts{jobs_submitted, jobs_completed};
    audio_unlock();
    return counts;
}
