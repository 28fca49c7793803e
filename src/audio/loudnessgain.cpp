// SPDX-License-Identifier: GPL-3.0-or-later
#include "loudnessgain.h"

#include <cmath>

namespace corvale {
namespace {

// To the nearest integer, halves to even, as lrint does; inline where nearbyint is a library
// call per sample. Exact for |x| < 2^51, far beyond 32768 times any gain.
double roundHalfEven(double x) {
    constexpr double kShift = 6755399441055744.0; // 1.5 * 2^52
    return (x + kShift) - kShift;
}

} // namespace

std::optional<double> gainToTarget(double measuredLUFS, double targetLUFS) {
    if (!std::isfinite(measuredLUFS) || !std::isfinite(targetLUFS))
        return std::nullopt;
    const double gain = targetLUFS - measuredLUFS;
    if (std::abs(gain) <= kLoudnessToleranceLU)
        return std::nullopt;
    return gain;
}

bool willClip(short sample, double gainDb) {
    short scaled = sample;
    return applyGain(std::span(&scaled, 1), gainDb) > 0;
}

std::int64_t applyGain(std::span<short> samples, double gainDb) {
    const double factor = std::pow(10.0, gainDb / 20.0);
    std::int64_t clipped = 0;
    for (short& sample : samples) {
        const double scaled = roundHalfEven(double(sample) * factor);
        if (scaled > 32767.0) {
            sample = 32767;
            ++clipped;
        } else if (scaled < -32768.0) {
            sample = -32768;
            ++clipped;
        } else {
            sample = static_cast<short>(scaled);
        }
    }
    return clipped;
}

} // namespace corvale
