// SPDX-License-Identifier: GPL-3.0-or-later
#include "lagmeter.h"

#include "bandlimit.h"
#include "vectorops.h"

#include <algorithm>
#include <cmath>

namespace corvale {
namespace {

constexpr float kSilentRms = 1e-4f;
constexpr double kMinimumWindowSeconds = 0.25;
constexpr double kCorrelationRate = 9600.0; // at least, after decimation

} // namespace

LagMeter::LagMeter(double sampleRate, double lowHz, double highHz)
    : m_sampleRate(sampleRate), m_lowHz(lowHz) {
    if (sampleRate >= 2.0 * kCorrelationRate)
        m_decimation = std::int64_t(sampleRate / kCorrelationRate);
    const double rate = sampleRate / double(m_decimation);
    m_highHz = std::min(highHz, 0.45 * rate);
}

std::vector<float>& LagMeter::decimate(std::span<const float> in, std::vector<float>& out) {
    out = corvale::decimate(in, m_decimation);
    // Only outputs whose centre lies inside the excerpt.
    out.resize(in.size() / std::size_t(m_decimation));
    return out;
}

std::optional<LagMeasurement> LagMeter::measure(std::span<const float> fullReference,
                                                std::int64_t referenceStart,
                                                std::span<const float> fullTrack,
                                                std::int64_t trackStart) {
    if (!(m_sampleRate > 0.0) || double(fullTrack.size()) < kMinimumWindowSeconds * m_sampleRate ||
        fullReference.size() < fullTrack.size())
        return std::nullopt;
    if (vec::rootMeanSquare(fullTrack) < kSilentRms ||
        vec::rootMeanSquare(fullReference) < kSilentRms)
        return std::nullopt;
    const std::span<const float> reference =
        m_decimation > 1 ? decimate(fullReference, m_decimatedReference) : fullReference;
    const std::span<const float> track =
        m_decimation > 1 ? decimate(fullTrack, m_decimatedTrack) : fullTrack;
    const std::size_t w = track.size();
    const std::size_t m = reference.size();
    const double rate = m_sampleRate / double(m_decimation);

    std::size_t size = 2;
    while (size < m)
        size *= 2;
    if (!m_fft || m_fft->size() != size) {
        m_fft.emplace(size);
        const std::size_t n = m_fft->size();
        m_spectrum.assign(n, {});
        m_weights.assign(n / 2 + 1, 0.0f);
        for (std::size_t k = 0; k <= n / 2; ++k)
            m_weights[k] = float(bandWeight(double(k) * rate / double(n), m_lowHz, m_highHz));
    }
    const std::size_t n = m_fft->size();

    // Both real signals share one complex transform: reference as the real part, track as the
    // imaginary part, separated again by the transform's symmetry.
    std::fill(m_spectrum.begin(), m_spectrum.end(), std::complex<float>{});
    for (std::size_t i = 0; i < m; ++i)
        m_spectrum[i].real(reference[i] * taper(i, m));
    // A drifting clock moves the lag within the window; the correlation then reports the lag
    // where the window is loudest, so that is the time the measurement is given for.
    double energy = 0.0;
    double moment = 0.0;
    for (std::size_t i = 0; i < w; ++i) {
        const float v = track[i] * taper(i, w);
        m_spectrum[i].imag(v);
        energy += double(v) * v;
        moment += double(v) * v * double(i);
    }
    m_fft->forward(m_spectrum);

    double weightSum = 0.0;
    for (std::size_t k = 0; k <= n / 2; ++k) {
        const std::complex<float> z = m_spectrum[k];
        const std::complex<float> zc = std::conj(m_spectrum[(n - k) % n]);
        const std::complex<float> r = 0.5f * (z + zc);
        const std::complex<float> t = std::complex<float>(0.0f, -0.5f) * (z - zc);
        const std::complex<float> cross = r * std::conj(t);
        const float magnitude =
            std::sqrt(cross.real() * cross.real() + cross.imag() * cross.imag());
        const float weight = m_weights[k];
        const std::complex<float> whitened = magnitude > 1e-20f && weight > 0.0f
                                                 ? cross * (weight / magnitude)
                                                 : std::complex<float>{};
        if (magnitude > 1e-20f) {
            const double full = (k == 0 || k == n / 2) ? 1.0 : 2.0;
            weightSum += full * weight;
        }
        m_spectrum[k] = whitened;
        if (k != 0 && k != n / 2)
            m_spectrum[n - k] = std::conj(whitened);
    }
    if (!(weightSum > 0.0))
        return std::nullopt;
    m_fft->inverse(m_spectrum);

    const std::size_t last = m - w; // highest position with the whole window inside
    std::size_t best = 0;
    for (std::size_t k = 1; k <= last; ++k) {
        if (m_spectrum[k].real() > m_spectrum[best].real())
            best = k;
    }
    double fraction = 0.0;
    if (best > 0 && best < last) {
        const double a = m_spectrum[best - 1].real();
        const double b = m_spectrum[best].real();
        const double c = m_spectrum[best + 1].real();
        const double denominator = a - 2.0 * b + c;
        if (denominator < 0.0)
            fraction = std::clamp(0.5 * (a - c) / denominator, -0.5, 0.5);
    }
    // Nearby lags share the peak's main lobe; 2 ms is clear of it for the whole band.
    const auto lobe = std::size_t(std::ceil(0.002 * rate));
    float runnerUp = 0.0f;
    for (std::size_t k = 0; k <= last; ++k) {
        if (k + lobe < best || k > best + lobe)
            runnerUp = std::max(runnerUp, m_spectrum[k].real());
    }
    LagMeasurement result;
    if (runnerUp > 0.0f)
        result.margin = double(m_spectrum[best].real()) / double(runnerUp);
    const auto d = double(m_decimation);
    result.trackSample =
        double(trackStart) + d * (energy > 0.0 ? moment / energy : 0.5 * double(w));
    result.lagSamples = double(referenceStart) + d * (double(best) + fraction) - double(trackStart);
    result.peak = double(m_spectrum[best].real()) / weightSum;
    return result;
}

} // namespace corvale
