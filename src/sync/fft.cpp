// SPDX-License-Identifier: GPL-3.0-or-later
#include "fft.h"

#include <fftw3.h>

#include <map>
#include <memory>
#include <mutex>

namespace corvale {

// Made on arrays from fftwf_malloc, so the aligned plans may use SIMD; data that is not so
// aligned (any std::vector may not be) takes the unaligned ones. Both are in place, as every
// caller transforms in place.
struct Fft::Plans {
    fftwf_plan forward = nullptr;
    fftwf_plan inverse = nullptr;
    fftwf_plan forwardUnaligned = nullptr;
    fftwf_plan inverseUnaligned = nullptr;
};

namespace {

// FFTW's planner is not thread-safe: every plan is made under this lock. Executing a plan on
// new arrays is, so the plans are shared without one. They live as long as the process; the
// sizes a run uses are few.
std::mutex& plannerMutex() {
    static std::mutex mutex;
    return mutex;
}

const Fft::Plans* plansFor(std::size_t size) {
    // Never destroyed, as the plans it holds are not: a worker still transforming while the
    // process exits finds them, and leak checkers see them reachable to the end.
    static auto* cache = new std::map<std::size_t, std::unique_ptr<Fft::Plans>>;
    const std::scoped_lock lock(plannerMutex());
    std::unique_ptr<Fft::Plans>& entry = (*cache)[size];
    if (entry)
        return entry.get();
    auto* buffer = fftwf_alloc_complex(size);
    const int n = static_cast<int>(size);
    // FFTW_ESTIMATE: a plan that does not depend on timing, so that results repeat exactly
    // from run to run, and planning costs no more than a transform.
    const unsigned aligned = FFTW_ESTIMATE;
    const unsigned unaligned = FFTW_ESTIMATE | FFTW_UNALIGNED;
    auto plans = std::make_unique<Fft::Plans>();
    plans->forward = fftwf_plan_dft_1d(n, buffer, buffer, FFTW_FORWARD, aligned);
    plans->inverse = fftwf_plan_dft_1d(n, buffer, buffer, FFTW_BACKWARD, aligned);
    plans->forwardUnaligned = fftwf_plan_dft_1d(n, buffer, buffer, FFTW_FORWARD, unaligned);
    plans->inverseUnaligned = fftwf_plan_dft_1d(n, buffer, buffer, FFTW_BACKWARD, unaligned);
    fftwf_free(buffer);
    entry = std::move(plans);
    return entry.get();
}

} // namespace

Fft::Fft(std::size_t size) : m_size(2) {
    while (m_size < size)
        m_size *= 2;
    m_plans = plansFor(m_size);
}

void Fft::forward(std::span<std::complex<float>> data) const {
    transform(data, false);
}

void Fft::inverse(std::span<std::complex<float>> data) const {
    transform(data, true);
}

void Fft::transform(std::span<std::complex<float>> data, bool inverse) const {
    if (data.size() != m_size)
        return;
    // std::complex<float> and fftwf_complex share their layout.
    auto* values = reinterpret_cast<fftwf_complex*>(data.data());
    const bool aligned = fftwf_alignment_of(reinterpret_cast<float*>(values)) == 0;
    fftwf_plan plan = inverse ? (aligned ? m_plans->inverse : m_plans->inverseUnaligned)
                              : (aligned ? m_plans->forward : m_plans->forwardUnaligned);
    fftwf_execute_dft(plan, values, values);
}

} // namespace corvale
