// SPDX-License-Identifier: GPL-3.0-or-later
#include "waveformsearch.h"

#include "bandlimit.h"
#include "fft.h"
#include "vectorops.h"

#include <algorithm>
#include <cmath>
#include <complex>

namespace corvale {
namespace {

constexpr double kSearchRate = 4000.0;
constexpr double kLowHz = 150.0;
constexpr double kHighHz = 2000.0;
constexpr double kMinimumQuerySeconds = 1.0;
constexpr float kSilentRms = 1e-4f;
constexpr double kCellSeconds = 0.5; // runner-ups are kept per cell of lags

using Complex = std::complex<float>;

Complex whiten(Complex cross, float weight) {
    const float magnitude = std::sqrt(cross.real() * cross.real() + cross.imag() * cross.imag());
    return magnitude > 1e-20f && weight > 0.0f ? cross * (weight / magnitude) : Complex{};
}

// Highest value per cell of lags, and where the very highest is.
struct PeakTracker {
    std::int64_t cellLength = 1;
    std::vector<float> cells;
    float best = -1.0f;
    std::int64_t bestLag = 0;
    float before = 0.0f; // neighbours of the best, for sub-sample refinement
    float after = 0.0f;
    bool refinable = false;
    double squares = 0.0;
    std::int64_t count = 0;

    void add(std::span<const float> values, std::int64_t firstLag, std::int64_t usable) {
        for (std::int64_t k = 0; k < usable; ++k) {
            const float v = values[std::size_t(k)];
            squares += double(v) * v;
            float& cell = cells[std::size_t((firstLag + k) / cellLength)];
            cell = std::max(cell, v);
            if (v > best) {
                best = v;
                bestLag = firstLag + k;
                refinable = k > 0 && k + 1 < usable;
                before = refinable ? values[std::size_t(k - 1)] : 0.0f;
                after = refinable ? values[std::size_t(k + 1)] : 0.0f;
            }
        }
        count += usable;
    }
};

} // namespace

SearchReference searchReferenceFor(double sampleRate) {
    SearchReference reference;
    reference.factor = std::max<std::int64_t>(std::int64_t(sampleRate / kSearchRate), 1);
    // A factor with a divisor of 4 or 3 lets most of the work run at a lower rate (44.1 kHz
    // goes to 4.9 kHz rather than 4.0).
    if (reference.factor >= 6) {
        while (reference.factor % 4 != 0 && reference.factor % 3 != 0)
            --reference.factor;
        reference.presum = reference.factor % 4 == 0 ? 4 : 3;
    }
    reference.rate = sampleRate > 0.0 ? sampleRate / double(reference.factor) : 0.0;
    return reference;
}

std::optional<WaveformMatch> searchWaveform(const SearchReference& reference,
                                            std::span<const float> fullQuery,
                                            std::int64_t queryStart, std::stop_token stop) {
    const double rate = reference.rate;
    if (!(rate > 0.0))
        return std::nullopt;
    const std::vector<float> query = decimate(fullQuery, reference.factor, reference.presum);
    const auto w = std::int64_t(query.size());
    const auto m = std::int64_t(reference.samples.size());
    if (double(w) < kMinimumQuerySeconds * rate || w > m ||
        vec::rootMeanSquare(std::span<const float>(query)) < kSilentRms)
        return std::nullopt;

    std::size_t n = 4096;
    while (n < std::size_t(3 * w))
        n *= 2;
    const Fft fft(n);
    const auto blockLags = std::int64_t(n) - w + 1; // lags each block scores without wrapping
    const std::int64_t lags = m - w + 1;

    // The query's conjugate spectrum and the band's weights, once.
    std::vector<Complex> queryConj(n);
    for (std::int64_t i = 0; i < w; ++i)
        queryConj[std::size_t(i)] = query[std::size_t(i)] * taper(std::size_t(i), std::size_t(w));
    fft.forward(queryConj);
    for (Complex& z : queryConj)
        z = std::conj(z);
    const double high = std::min(kHighHz, 0.45 * rate);
    std::vector<float> weights(n / 2 + 1);
    for (std::size_t k = 0; k <= n / 2; ++k)
        weights[k] = float(bandWeight(double(k) * rate / double(n), kLowHz, high));

    PeakTracker peaks;
    peaks.cellLength = std::max<std::int64_t>(std::llround(kCellSeconds * rate), 1);
    peaks.cells.assign(std::size_t(lags / peaks.cellLength + 1), -1.0f);

    // Two blocks share each transform: one as the real part, the other as the imaginary part;
    // their whitened spectra share the inverse the same way.
    std::vector<Complex> z(n);
    std::vector<float> first(n);
    std::vector<float> second(n);
    const auto sample = [&](std::int64_t i) {
        return i < m ? reference.samples[std::size_t(i)] : 0.0f;
    };
    for (std::int64_t start = 0; start < lags; start += 2 * blockLags) {
        if (stop.stop_requested())
            return std::nullopt;
        const std::int64_t other = start + blockLags;
        for (std::size_t i = 0; i < n; ++i)
            z[i] = {sample(start + std::int64_t(i)), sample(other + std::int64_t(i))};
        fft.forward(z);
        double sumA = 0.0;
        double sumB = 0.0;
        for (std::size_t k = 0; k <= n / 2; ++k) {
            const Complex zk = z[k];
            const Complex zc = std::conj(z[(n - k) % n]);
            const Complex a = 0.5f * (zk + zc) * queryConj[k];
            const Complex b = Complex(0.0f, -0.5f) * (zk - zc) * queryConj[k];
            const Complex wa = whiten(a, weights[k]);
            const Complex wb = whiten(b, weights[k]);
            const double full = (k == 0 || k == n / 2) ? 1.0 : 2.0;
            sumA += wa == Complex{} ? 0.0 : full * weights[k];
            sumB += wb == Complex{} ? 0.0 : full * weights[k];
            z[k] = wa + Complex(0.0f, 1.0f) * wb;
            if (k != 0 && k != n / 2)
                z[n - k] = std::conj(wa) + Complex(0.0f, 1.0f) * std::conj(wb);
        }
        fft.inverse(z);
        for (std::size_t i = 0; i < n; ++i) {
            first[i] = sumA > 0.0 ? float(z[i].real() / sumA) : 0.0f;
            second[i] = sumB > 0.0 ? float(z[i].imag() / sumB) : 0.0f;
        }
        peaks.add(first, start, std::min(blockLags, lags - start));
        if (other < lags)
            peaks.add(second, other, std::min(blockLags, lags - other));
    }
    if (peaks.best <= 0.0f)
        return std::nullopt;

    WaveformMatch match;
    match.peak = peaks.best;
    const std::int64_t bestCell = peaks.bestLag / peaks.cellLength;
    const auto apart = std::int64_t(std::ceil(kRunnerUpSeconds / kCellSeconds));
    for (std::size_t c = 0; c < peaks.cells.size(); ++c) {
        if (std::abs(std::int64_t(c) - bestCell) > apart)
            match.runnerUp = std::max(match.runnerUp, double(peaks.cells[c]));
    }
    match.noise = peaks.count > 0 ? std::sqrt(peaks.squares / double(peaks.count)) : 0.0;
    double fraction = 0.0;
    if (peaks.refinable) {
        const double a = peaks.before;
        const double b = peaks.best;
        const double c = peaks.after;
        const double denominator = a - 2.0 * b + c;
        if (denominator < 0.0)
            fraction = std::clamp(0.5 * (a - c) / denominator, -0.5, 0.5);
    }
    match.lagSamples =
        (double(peaks.bestLag) + fraction) * double(reference.factor) - double(queryStart);
    return match;
}

} // namespace corvale
