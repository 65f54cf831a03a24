#include "engine/correlation.h"

#include "engine/engine.h"
#include "engine/kernels.h"
#include "engine/readout.h"

#include <fftw3.h>

#include <cmath>
#include <cstring>
#include <mutex>
#include <utility>

namespace {

// Two blocks: room for a block's correlation with the reference to run into
// the next block without wrapping round.
constexpr int FFT_LEN = 2 * BLOCK_LEN;
constexpr int BINS = FFT_LEN / 2 + 1;

// Planned once for the process, and never changed after: the planner is not
// thread-safe; executing a plan on other arrays is, as long as they are
// aligned as these (the scratch arrays all come from fftw_alloc). Estimated,
// so every run computes in the same order.
fftw_plan forward_plan = nullptr;
fftw_plan inverse_plan = nullptr;
std::once_flag plans_made;

void make_plans()
{
    double *real = fftw_alloc_real(FFT_LEN);
    fftw_complex *complex = fftw_alloc_complex(BINS);
    forward_plan = fftw_plan_dft_r2c_1d(FFT_LEN, real, complex, FFTW_ESTIMATE);
    inverse_plan = fftw_plan_dft_c2r_1d(FFT_LEN, complex, real, FFTW_ESTIMATE);
    fftw_free(complex);
    fftw_free(real);
}

void block_spectrum(SpectralScratch &s, const double *block, fftw_complex *spectrum)
{
    std::memcpy(s.padded, block, BLOCK_LEN * sizeof(double));
    std::memset(s.padded + BLOCK_LEN, 0, BLOCK_LEN * sizeof(double));
    fftw_execute_dft_r2c(forward_plan, s.padded, spectrum);
}

}  // namespace

SpectralScratch::SpectralScratch()
    : padded(fftw_alloc_real(FFT_LEN)),
      lags(fftw_alloc_real(FFT_LEN)),
      reference(fftw_alloc_complex(BINS)),
      block(fftw_alloc_complex(BINS)),
      next(fftw_alloc_complex(BINS)),
      product(fftw_alloc_complex(BINS))
{
    std::call_once(plans_made, make_plans);
}

SpectralScratch::~SpectralScratch()
{
    for (fftw_complex *spectrum : {reference, block, next, product})
        fftw_free(spectrum);
    fftw_free(lags);
    fftw_free(padded);
}

void correlate_literal(const double *samples, const double *reference, double *product, std::uint64_t window)
{
    for (std::uint64_t offset = 0; offset != window + BLOCK_LEN; offset += BLOCK_LEN)
        convolve_add(samples + offset, reference, product + offset, BLOCK_LEN);
}

void correlate_spectral(const double *samples, const double *reference, double *product, std::uint64_t window)
{
    thread_local SpectralScratch scratch;
    correlate_spectral(samples, reference, product, window, scratch);
}

void correlate_spectral(const double *samples, const double *reference, double *product, std::uint64_t window,
                        SpectralScratch &s)
{
    // c[t] = corr[t], the reference block forward in time.
    for (std::uint32_t t = 0; t < BLOCK_LEN; t++)
        s.padded[t] = reference[BLOCK_LEN - 1 - t];
    std::memset(s.padded + BLOCK_LEN, 0, BLOCK_LEN * sizeof(double));
    fftw_execute_dft_r2c(forward_plan, s.padded, s.reference);

    // Lag block L reads history blocks L and L + 1: the pair's spectrum is the
    // first block's plus the second's shifted by a block, (-1)^k. Its
    // correlation with c is conj(C) times that; sample r + 1 of the inverse is
    // lag 1024 L + r.
    const std::uint64_t lag_blocks = window / BLOCK_LEN;
    constexpr double scale = 1.0 / FFT_LEN;
    block_spectrum(s, samples, s.next);
    double *lags = product + BLOCK_LEN;
    for (std::uint64_t l = 0; l < lag_blocks; l++) {
        std::swap(s.block, s.next);
        block_spectrum(s, samples + (l + 1) * BLOCK_LEN, s.next);
        for (int k = 0; k < BINS; k++) {
            const double sign = (k & 1) != 0 ? -1.0 : 1.0;
            const double ur = s.block[k][0] + sign * s.next[k][0];
            const double ui = s.block[k][1] + sign * s.next[k][1];
            const double cr = s.reference[k][0];
            const double ci = s.reference[k][1];
            s.product[k][0] = cr * ur + ci * ui;
            s.product[k][1] = cr * ui - ci * ur;
        }
        fftw_execute_dft_c2r(inverse_plan, s.product, s.lags);
        for (std::uint32_t r = 0; r < BLOCK_LEN; r++)
            lags[l * BLOCK_LEN + r] = s.lags[r + 1] * scale;
    }
}

void Engine::compute_lags(AnalysisJob *job, SpectralScratch *scratch)
{
    job->pending = group_count();
    if (config_.literal_paths)
        correlate_literal(job->samples, job->reference, job->product, config_.window_size);
    else if (scratch != nullptr)
        correlate_spectral(job->samples, job->reference, job->product, config_.window_size, *scratch);
    else
        correlate_spectral(job->samples, job->reference, job->product, config_.window_size);
}

void Engine::fold_lags(AnalysisJob *job)
{
    // product[1024 + i] lines the reference block up with the history taken
    // window_size - 1 - i samples earlier, with all 1024 samples overlapping.
    const double *lags = job->product + BLOCK_LEN;
    ApartLock lock(results_mutex_, jobs_mutex_);
    const double decay = decay_factor_;
    // The extremes by the statistics' rule (readout.h index_extremes: the
    // first of equals), noted in the same pass.
    double *sum = correlation_sum_.data();
    IndexExtremes found{0, 0};
    for (std::uint64_t i = 0; i < config_.window_size; i++) {
        double v = sum[i] * decay + lags[i];
        // An overflow must not outlive its block: with decay off, inf * 0 would
        // be NaN in every block after it.
        if (!std::isfinite(v))
            v = 0.0;
        sum[i] = v;
        take_extreme_index(found, sum, i);
    }
    correlation_rows_[job->seq % RESULT_ROWS] = {correlation_sum_[found.imax], correlation_sum_[found.imin],
                                                 found.imax, found.imin};
    // The slot now holds part of this job's row: no longer the final row of
    // the job RESULT_ROWS before, and not final until the collector says so.
    row_final_job_[job->seq % RESULT_ROWS] = 0;
}

bool Engine::dispatch_coarse_tasks(AnalysisJob *job)
{
    const std::uint64_t groups = group_count();
    BandTask *tasks[MAX_GROUP_COUNT];
    if (groups > MAX_GROUP_COUNT)
        return false;
    // From the job's own room: nothing to hand back when it is used up, as
    // the tasks already taken go with the job.
    for (std::uint64_t g = 0; g < groups; g++) {
        tasks[g] = new_task(BANDS_PER_GROUP * g, job);
        if (tasks[g] == nullptr)
            return false;
    }
    job->measuring = groups;
    tone_queue.push_all(tasks, groups);
    return true;
}

void Engine::abandon_job(AnalysisJob *job)
{
    // The collector completes jobs in order, so this one must pass through it.
    job->pass = GIVEN_UP_PASS;
    job->give_up.band = 0;
    job->give_up.job = job;
    BandTask *task = &job->give_up;
    collect_queue.push_all(&task, 1);
}

void Engine::correlation_main()
{
    lower_analysis_thread_priority();
    SpectralScratch scratch;
    while (AnalysisJob *job = job_queue.pop()) {
        compute_lags(job, &scratch);
        // The workers fold in job order, so that a decayed sum is the same
        // whichever worker finishes first.
        {
            ApartLock lock(jobs_mutex_, results_mutex_);
            while (jobs_folded_ != job->seq && !stopping_)
                jobs_changed_.wait(jobs_mutex_);
            if (stopping_) {
                free_job(job);  // in no queue any more: nobody else would free it
                return;
            }
        }
        fold_lags(job);
        {
            ApartLock lock(jobs_mutex_, results_mutex_);
            jobs_folded_++;
            jobs_changed_.broadcast();
        }
        if (!dispatch_coarse_tasks(job))
            abandon_job(job);
    }
}
