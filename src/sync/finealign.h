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

// Where one straight stretch of the clock gives way to the next.
struct ClockBreak {
    std::int64_t trackSample = 0; // the later segment's first track sample
    double stepSamples = 0.0;     // lag after minus lag before there: > 0 a dropped block
    double slopeBefore = 0.0;
    double slopeAfter = 0.0;
    bool operator==(const ClockBreak&) const = default;
};

struct ClockFit {
    // Ascending by firstTrackSample, the first at 0. Empty when nothing could be fitted.
    std::vector<ClockSegment> segments;
    // For each segment after the first: the centres of the last window agreeing with the
    // segment before and of the first agreeing with it. The break lies between them.
    std::vector<std::pair<double, double>> gaps;
    int windowsMeasured = 0;      // windows that gave a lag
    int windowsClear = 0;         // of those, with a clear peak; the others abstain
    int windowsAgreeing = 0;      // of the clear ones, within the tolerance of the fit
    double residualSamples = 0.0; // RMS distance of the agreeing windows from the fit
    // Track samples of clear windows more than kConfirmationMs off the fit: stretches the fit
    // does not explain.
    std::vector<double> disagreeing;
    // Enough clear windows agree to follow the fit (at least 3, and at least half of them).
    bool usable = false;
    // Usable, and no clear window disagrees: the fit vouches for the whole track.
    bool confident = false;
    [[nodiscard]] std::vector<ClockBreak> breaks() const;
};

// Windows agree with a line when within this many milliseconds of it.
inline constexpr double kAgreementMs = 0.3;

// A fit is confirmed only when every clear window lies within this many milliseconds of it.
inline constexpr double kConfirmationMs = 1.0;

// A window's lag counts only when its correlation peak stands this many times above the
// highest correlation at least 2 ms from it in its search range. Measured with recorder_bench
// (3 s windows searched ±1.45 s, 60 of each): a window's own speech on another, noisier
// microphone stood 8.6 (p05) to 69 times above, with 30 as the median (its minimum, 1.26, a
// window of pause); room noise, white noise and another conversation at most 1.26. 2 lies
// between the two, as the whole-reference search's margin does.
inline constexpr double kClearPeakMargin = 2.0;

// The agreement tolerance in samples at sampleRate (at least 1.5 samples).
[[nodiscard]] double agreementTolerance(double sampleRate);

// Whether a measurement's peak is clear enough to count.
[[nodiscard]] bool hasClearPeak(const LagMeasurement& m);

// Robust piecewise fit of the measurements with a clear peak, taken in time order: a window
// that agrees with the current line joins it; one that does not starts a new line when the
// window after it agrees with it (a step, or a change of rate), and is a stray otherwise. A
// line needs two windows spanning at least minimumSideSpan track samples (overlapping windows
// share their audio, so windows close together are not independent witnesses); the windows
// of a shorter one are strays. Lines spanning less than slopeSpan track samples take their
// neighbour's slope. Where two lines with different slopes meet between
// their windows, the break is put there (a change of rate); otherwise in the middle of the gap,
// for the caller to locate. Slopes beyond ±2000 ppm are not considered. Fewer than two
// measurements give an empty, unconfident fit with only windowsMeasured set.
[[nodiscard]] ClockFit fitClock(std::span<const LagMeasurement> measurements, double tolerance,
                                double minimumSideSpan = 0.0, double slopeSpan = 0.0);

// Sets disagreeing, windowsAgreeing, usable and confident of a fit whose breaks may have
// moved. A window within reach of a break may agree with either side.
void assessFit(ClockFit& fit, std::span<const LagMeasurement> measurements, double tolerance,
               double confirmation, double reach);

// The segment of a non-empty fit that holds track sample t.
[[nodiscard]] const ClockSegment& segmentAt(const ClockFit& fit, double t);

// Which segment of a fit a measurement agrees with; none when it agrees with none or several.
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
