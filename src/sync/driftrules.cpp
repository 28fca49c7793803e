// SPDX-License-Identifier: GPL-3.0-or-later
#include "driftrules.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace corvale {

std::int64_t driftSegmentCount(double alignedDurationSeconds) {
    const double ratio = alignedDurationSeconds / 180.0;
    const double perThreeMinutes = ratio >= 0.0 ? std::min(ratio, 1e6) : 0.0;
    return std::clamp<std::int64_t>(static_cast<std::int64_t>(perThreeMinutes), 6, 40);
}

std::vector<DriftMeasurement> keepContinuous(std::span<const DriftMeasurement> measurements) {
    std::vector<DriftMeasurement> kept{DriftMeasurement{}};
    std::int64_t last = 0;
    for (const DriftMeasurement& m : measurements) {
        if (std::abs(m.driftFrames - last) <= kContinuityFrames) {
            kept.push_back(m);
            last = m.driftFrames;
        }
    }
    return kept;
}

bool driftIsApplicable(std::span<const DriftMeasurement> kept, std::int64_t hop,
                       double sampleRate) {
    if (kept.size() < 3)
        return false;
    const double last = static_cast<double>(kept.back().driftFrames * hop) / sampleRate;
    return std::abs(last) > 0.5;
}

std::int64_t startDriftFrames(std::span<const DriftMeasurement> measurements) {
    if (measurements.size() < 2)
        return 0;
    // Centred sums keep the fit well conditioned for hour-long tracks.
    double meanTime = 0.0, meanDrift = 0.0;
    for (const DriftMeasurement& m : measurements) {
        meanTime += static_cast<double>(m.timeFrames);
        meanDrift += static_cast<double>(m.driftFrames);
    }
    const auto count = static_cast<double>(measurements.size());
    meanTime /= count;
    meanDrift /= count;
    double sxx = 0.0, sxy = 0.0;
    for (const DriftMeasurement& m : measurements) {
        const double dt = static_cast<double>(m.timeFrames) - meanTime;
        sxx += dt * dt;
        sxy += dt * (static_cast<double>(m.driftFrames) - meanDrift);
    }
    if (!(sxx > 0.0))
        return 0;
    const double slope = sxy / sxx;
    return static_cast<std::int64_t>(std::llround(meanDrift - slope * meanTime));
}

} // namespace corvale
