// SPDX-License-Identifier: GPL-3.0-or-later
#include "lagmeter.h"

#include "vectorops.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace corvale {
namespace {

constexpr float kSilentRms = 1e-4f;
constexpr double kMinimumWindowSeconds = 0.25;
constexpr double kBandEdgeHz = 60.0;        // width of the raised-cosine band edges
constexpr double kCorrelationRate = 9600.0; // at least, after decimation

// Raised-cosine ramps over the first and last 5 % keep the ends of an excerpt from adding
// the broadband click of a hard cut to the spectrum.
float taper(std::size_t i, std::size_t n) {
    const std::size_t ramp = std::max<std::size_t>(n / 20, 1);
    const std::size_t fromEdge = std::min(i, n - 1 - i);
    if (fromEdge >= ramp)
        return 1.0f;
    return float(0.5 - 0.5 * std::cos(std::numbers::pi * (double(fromEdge) + 0.5) / double(ramp)));
}

double bandWeight(double hz, double low, double high) {
    if (hz <= low - kBandEdgeHz || hz >= high + kBandEdgeHz)
        return 0.0;
    if (hz < low)
        return 0.5 + 0.5 * std::cos(std::numbers::pi * (low - hz) / kBandEdgeHz);
    if (hz > high)
        return 0.5 + 0.5 * std::cos(std::numbers::pi * (hz - high) / kBandEdgeHz);
    return 1.0;
}

} // namespace

LagMeter::LagMeter(double sampleRate, double lowHz, double highHz)
    : m_sampleRate(sampleRate), m_lowHz(lowHz) {
    if (sampleRate >= 2.0 * kCorrelationRate)
        m_decimation = std::int64_t(sampleRate / kCorrelationRate);
    const double rate = sampleRate / double(m_decimation);
    m_highHz = std::min(highHz, 0.45 * rate);
    if (m_decimation > 1) {
        // Blackman-windowed sinc, cut at 0.45 of the decimated rate: linear phase and centred,
        // so it delays neither signal.
        const std::int64_t half = 4 * m_decimation;
        const double cutoff = 0.45 / double(m_decimation); // cycles per input sample
        m_filter.resize(std::size_t(2 * half + 1));
        double sum = 0.0;
        for (std::int64_t k = -half; k <= half; ++k) {
            const double x = 2.0 * cutoff * double(k);
            const double sinc =
                k == 0 ? 1.0 : std::sin(std::numbers::pi * x) / (std::numbers::pi * x);
            const double u = double(k + half) / double(2 * half);
            const double window = 0.42 - 0.5 * std::cos(2.0 * std::numbers::pi * u) +
                                  0.08 * std::cos(4.0 * std::numbers::pi * u);
            m_filter[std::size_t(k + half)] = float(sinc * window);
            sum += sinc * window;
        }
        for (float& h : m_filter)
            h = float(h / sum);
    }
}

std::vector<float>& LagMeter::decimate(std::span<const float> in, std::vector<float>& out) {
    const auto n = std::int64_t(in.size());
    const std::int64_t count = n / m_decimation;
    out.resize(std::size_t(count));
    const auto half = std::int64_t(m_filter.size() / 2);
    for (std::int64_t j = 0; j < count; ++j) {
        const std::int64_t centre = j * m_decimation;
        if (centre - half >= 0 && centre + half < n) {
            out[std::size_t(j)] =
                vec::dotProduct(in.data() + (centre - half), m_filter.data(), m_filter.size());
            continue;
        }
        double sum = 0.0; // near the ends, samples beyond the excerpt count as zero
        for (std::int64_t k = -half; k <= half; ++k) {
            if (centre + k >= 0 && centre + k < n)
                sum += double(in[std::size_t(centre + k)]) * m_filter[std::size_t(k + half)];
        }
        out[std::size_t(j)] = float(sum);
    }
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
    LagMeasurement result;
    const auto d = double(m_decimation);
    result.trackSample =
        double(trackStart) + d * (energy > 0.0 ? moment / energy : 0.5 * double(w));
    result.lagSamples = double(referenceStart) + d * (double(best) + fraction) - double(trackStart);
    result.peak = double(m_spectrum[best].real()) / weightSum;
    return result;
}

} // namespace corvale
