// SPDX-License-Identifier: GPL-3.0-or-later
// The fine stage of the alignment: lags measured by LagMeter at windows spread over a track
// are fitted with a line (the track's start and clock rate) or, when a recorder dropped or
// repeated audio, two lines with a break between them.
//
// Units: samples at the analysis rate, track sample indices for time. A lag is the reference
// sample a track sample lines up with minus the track sample's index.
#pragma once

#include "lagmeter.h"
#include "synctypes.h"

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace corvale {

// One straight stretch of the fitted clock: from firstTrackSample to the next segment's (or
// the track's end), track sample t lines up with reference sample t + lagAt(t).
struct ClockSegment {
    std::int64_t firstTrackSample = 0;
    double lagAtZero = 0.0; // the line's lag at track sample 0, samples
    double slope = 0.0;     // lag gained per track sample: reference clock / track clock - 1
    [[nodiscard]] double lagAt(double trackSample) const { return lagAtZero + slope * trackSample; }
    bool operator==(const ClockSegment&) const = default;
};

struct ClockFit {
    // Ascending by firstTrackSample, the first at 0. Empty when nothing could be fitted.
    std::vector<ClockSegment> segments;
    int windowsMeasured = 0;      // windows that gave a lag
    int windowsAgreeing = 0;      // of those, within the tolerance of the fit
    double residualSamples = 0.0; // RMS distance of the agreeing windows from the fit
    // With two segments: the break lies between these track samples (centres of the last
    // window agreeing with the first line and the first agreeing with the second).
    std::optional<std::pair<double, double>> breakBetween;
    // Enough windows agree with the fit to trust it (at least 3, and at least half of those
    // measured, at least 3 on each side of a break).
    bool confident = false;
};

// Windows agree with a line when within this many milliseconds of it.
inline constexpr double kAgreementMs = 0.3;

// The agreement tolerance in samples at sampleRate (at least 1.5 samples).
[[nodiscard]] double agreementTolerance(double sampleRate);

// Robust fit of the measurements: the line through two of them that most others agree with,
// refined by least squares over its agreeing windows; then, when at least three of the rest
// agree with a second line, the two groups follow each other in time and each spans at least
// minimumSideSpan track samples (overlapping windows share their audio, so three of them
// close together are not three witnesses), a break between them. Slopes beyond ±2000 ppm are
// not considered. Fewer than two measurements give an empty, unconfident fit with only
// windowsMeasured set.
[[nodiscard]] ClockFit fitClock(std::span<const LagMeasurement> measurements, double tolerance,
                                double minimumSideSpan = 0.0);

// Which segment of a two-segment fit a measurement agrees with (0 or 1); none when it agrees
// with neither or both.
[[nodiscard]] std::optional<int> segmentAgreeing(const ClockFit& fit, const LagMeasurement& m,
                                                 double tolerance);

// The lag the coarse analysis predicts at a track sample: the start offset plus the drift
// anchors interpolated linearly (held flat beyond the last), when drift is applied.
[[nodiscard]] double coarseLagAt(const OffsetResult& offset, const DriftAnalysis& drift,
                                 double sampleRate, double trackSample);

// count samples of signal read at firstPosition + j * step (j = 0 … count − 1) by cubic
// (Catmull-Rom) interpolation; positions outside the signal read as zeros. Used to put a
// track window on the reference's clock before its lag is measured, so that a drifting clock
// does not smear the correlation peak.
[[nodiscard]] std::vector<float> warpWindow(std::span<const float> signal, double firstPosition,
                                            double step, std::size_t count);

// Window starts, in envelope frames, for the fine stage: the loudest window of windowFrames
// in each of count equal regions of [firstFrame, endFrame) of the track's blockRMS envelope,
// ascending. Empty when the region is shorter than one window.
[[nodiscard]] std::vector<std::int64_t>
pickFineWindows(std::span<const float> envelope, std::int64_t firstFrame, std::int64_t endFrame,
                std::int64_t windowFrames, std::int64_t count);

} // namespace corvale
