// SPDX-License-Identifier: GPL-3.0-or-later
// The rules that turn drift measurements into drift anchors, in whole envelope frames.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace corvale {

// One accepted drift measurement. timeFrames counts from the first track frame that overlaps
// the reference; driftFrames is where the segment was found minus where the offset put it.
struct DriftMeasurement {
    std::int64_t timeFrames = 0;
    std::int64_t driftFrames = 0;
    bool operator==(const DriftMeasurement&) const = default;
};

// Consecutive kept anchors may differ by at most this many frames (0.3 s).
inline constexpr std::int64_t kContinuityFrames = 3;

// Number of segments measured for drift: one per 180 s of aligned audio, clamped to 6...40.
[[nodiscard]] std::int64_t driftSegmentCount(double alignedDurationSeconds);

// The continuity filter: the anchor (0, 0) followed by every measurement, in order, that lies
// within kContinuityFrames of the last kept one. A dropped measurement leaves that reference
// unchanged, so a sudden jump is never followed. Compared in whole frames: an exact three-frame
// step is kept at any sample rate.
[[nodiscard]] std::vector<DriftMeasurement>
keepContinuous(std::span<const DriftMeasurement> measurements);

// Whether the kept anchors (keepContinuous' result) describe a drift to correct: the anchor
// and at least two measurements, and a last drift of more than 0.5 s (frames * hop /
// sampleRate) either way.
[[nodiscard]] bool driftIsApplicable(std::span<const DriftMeasurement> kept, std::int64_t hop,
                                     double sampleRate);

// Drift at time 0 of the least-squares line through the measurements, rounded to whole frames
// (halves away from zero). 0 when fewer than two distinct times make no line.
[[nodiscard]] std::int64_t startDriftFrames(std::span<const DriftMeasurement> measurements);

} // namespace corvale
