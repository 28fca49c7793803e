// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "fft.h"

#include <complex>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace corvale {

// One measured lag: the reference sample that track sample trackSample lines up with is
// trackSample + lagSamples. Samples at the meter's rate; lagSamples has a fractional part.
struct LagMeasurement {
    double trackSample = 0.0; // energy centre of the measured track window
    double lagSamples = 0.0;
    double peak = 0.0; // height of the whitened correlation peak, 1 for a perfect match
    // The peak over the highest correlation at least 2 ms from it within the search range.
    double margin = 1e9;
    bool operator==(const LagMeasurement&) const = default;
};

// Lag of a short track window inside a longer reference excerpt by band-limited, whitened
// cross-correlation (GCC-PHAT): every frequency in the speech band counts equally, so
// different microphones, codecs or a phone-band reference still give one sharp peak. The peak
// is refined to a fraction of a sample by a parabola through its neighbours. Nothing above
// the band counts, so both signals are first low-passed and decimated to about 9.6 kHz (a
// fifth of the samples at 48 kHz), which makes each transform a fraction of the size.
class LagMeter {
public:
    // Band edges in Hz; the upper one is capped at 45 % of the rate.
    explicit LagMeter(double sampleRate, double lowHz = 150.0, double highHz = 3800.0);

    // Searches every position where the whole track window fits inside the reference
    // excerpt: lags referenceStart - trackStart ... that + reference.size() - track.size().
    // No value when the track window is shorter than 0.25 s, the excerpt is shorter than the
    // window, either is silent (RMS below 1e-4), or the band holds no energy.
    [[nodiscard]] std::optional<LagMeasurement> measure(std::span<const float> reference,
                                                        std::int64_t referenceStart,
                                                        std::span<const float> track,
                                                        std::int64_t trackStart);

private:
    [[nodiscard]] std::vector<float>& decimate(std::span<const float> in, std::vector<float>& out);

    double m_sampleRate;
    std::int64_t m_decimation = 1; // samples of the input per correlated sample
    std::vector<float> m_decimatedReference;
    std::vector<float> m_decimatedTrack;
    double m_lowHz;
    double m_highHz;
    std::optional<Fft> m_fft;
    std::vector<std::complex<float>> m_spectrum;
    std::vector<float> m_weights; // band weight per bin of the current transform size
};

} // namespace corvale
