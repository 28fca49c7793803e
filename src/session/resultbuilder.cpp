// SPDX-License-Identifier: GPL-3.0-or-later
#include "resultbuilder.h"

#include "processingstatus.h"
#include "reviewwarnings.h"
#include "sync/envelope.h"

#include <algorithm>
#include <cmath>

namespace corvale {
namespace {

// Points along the fitted line for the chart; enough to draw a rate change smoothly.
constexpr int kChartSamples = 96;

AppliedClock fineClock(const FineAlignment& fine, double durationSeconds) {
    AppliedClock clock;
    const auto& segments = fine.fit.segments;
    const double rate = fine.sampleRate;
    const double end = durationSeconds * rate;
    const double start = segments.front().lagAtZero;
    auto segmentAt = [&](double t) {
        std::size_t i = 0;
        while (i + 1 < segments.size() && double(segments[i + 1].firstTrackSample) <= t)
            ++i;
        return i;
    };
    auto push = [&](double t, std::size_t segment) {
        clock.line.push_back({t / rate, (segments[segment].lagAt(t) - start) / rate});
    };
    for (int k = 0; k <= kChartSamples; ++k) {
        const double t = end * k / kChartSamples;
        push(t, segmentAt(t));
    }
    // Each break drawn as a step: the line just before it and at it.
    for (std::size_t i = 1; i < segments.size(); ++i) {
        const auto at = double(segments[i].firstTrackSample);
        clock.breakSeconds.push_back(at / rate);
        push(at, i - 1);
        push(at, i);
    }
    for (const LagMeasurement& m : fine.windows) {
        if (hasClearPeak(m))
            clock.windows.push_back({m.trackSample / rate, (m.lagSamples - start) / rate});
    }
    std::stable_sort(
        clock.line.begin(), clock.line.end(),
        [](const DriftPoint& a, const DriftPoint& b) { return a.timeSeconds < b.timeSeconds; });
    return clock;
}

QString whatWasTried(const ItemAnalysis& a) {
    QStringList tried;
    tried << QStringLiteral("its loudness matched the reference only %1ly")
                 .arg(a.offset.confidenceBand == ConfidenceBand::medium ? QStringLiteral("moderate")
                                                                        : QStringLiteral("weak"));
    if (a.placement)
        tried << QStringLiteral("its waveform stood out nowhere in the whole reference");
    if (a.fine)
        tried << QStringLiteral("the sample-accurate alignment confirmed no place");
    if (tried.size() == 1)
        return tried.front();
    const QString last = tried.takeLast();
    return tried.join(QStringLiteral(", ")) + QStringLiteral(" and ") + last;
}

} // namespace

QStringList leftOutNotes(const SyncResult& result) {
    QStringList notes;
    if (result.leftOutBeforeSeconds >= 1.0)
        notes << QStringLiteral("%1 before the reference left out")
                     .arg(formatOffset(result.leftOutBeforeSeconds));
    if (result.leftOutAfterSeconds >= 1.0)
        notes << QStringLiteral("%1 after the reference left out")
                     .arg(formatOffset(result.leftOutAfterSeconds));
    return notes;
}

bool somethingVouchesFor(const ItemAnalysis& a) {
    if (a.offset.confidenceBand == ConfidenceBand::high)
        return true;
    if (a.placement && a.placement->verdict != WaveformPlacement::Verdict::notPlaced)
        return true;
    return a.fine && a.fine->fit.confident;
}

SyncResult describeResult(const ItemAnalysis& a) {
    SyncResult r;
    r.sampleRate = a.sampleRate;
    r.driftPoints = a.drift.points;
    r.confidence = a.offset.confidence;
    r.confidenceBand = a.offset.confidenceBand;
    if (a.followsFineClock()) {
        const double rate = a.fine->sampleRate;
        r.offsetSamples = std::llround(a.fine->offsetSamples() * a.sampleRate / rate);
        r.offsetSeconds = a.fine->offsetSamples() / rate;
        r.clock = fineClock(*a.fine, a.durationSeconds);
        r.finalDriftSeconds = r.clock.line.empty() ? 0.0 : r.clock.line.back().driftSeconds;
        r.driftCorrected =
            std::fabs(r.finalDriftSeconds) * rate >= 0.5 || a.fine->fit.segments.size() > 1;
    } else {
        r.offsetSamples = a.offset.offsetSamples;
        r.offsetSeconds = a.offset.offsetSeconds;
        r.driftCorrected = a.drift.driftApplied;
        if (a.drift.driftApplied && !a.drift.points.empty())
            r.finalDriftSeconds = a.drift.points.back().driftSeconds;
        r.clock.line = a.drift.points;
        r.clock.windows = a.drift.points; // the anchors are the measurements
    }
    r.leftOutBeforeSeconds = std::max(0.0, -r.offsetSeconds);
    if (a.referenceDurationSeconds > 0.0)
        r.leftOutAfterSeconds = std::max(0.0, r.offsetSeconds + a.durationSeconds +
                                                  r.finalDriftSeconds - a.referenceDurationSeconds);

    // The clock written is what must be anchored: the fine stage's own windows when it is
    // followed, however few points the coarse analysis kept.
    const bool fineClockWritten = a.followsFineClock();
    r.warnings = reviewWarnings(
        a.offset, fineClockWritten ? r.driftCorrected : a.drift.driftApplied,
        fineClockWritten ? longestUnanchoredSpan(r.clock.windows, a.drift.alignedDurationSeconds)
                         : a.drift.longestUnanchoredSpanSeconds,
        a.drift.alignedDurationSeconds);
    if (a.fine && !a.fine->fit.confident)
        r.warnings.append(alignmentNotConfirmedWarning(a.fine->listenAtSeconds));
    // A short file's envelopes are little evidence; unflagged, it would pass unchecked.
    if (a.placement && a.placement->verdict == WaveformPlacement::Verdict::notPlaced &&
        r.warnings.isEmpty() && a.durationSeconds < kLongFileSeconds)
        r.warnings.append(placementNotConfirmedWarning(a.placement->listenAtSeconds));
    // Without the fine stage nothing else checks the coarse clock against the audio.
    if (!a.followsFineClock() && a.drift.segmentsDisagreeing >= kDisagreeingSegmentsMinimum &&
        a.drift.segmentsDisagreeing >= kDisagreeingSegmentsShare * a.drift.segmentsMeasured)
        r.warnings.append(
            driftDisagreesWarning(a.drift.segmentsDisagreeing, a.drift.segmentsMeasured));
    r.placedByWaveformSearch =
        a.placement && a.placement->verdict == WaveformPlacement::Verdict::placed;
    if (!somethingVouchesFor(a)) {
        r.notFound = true;
        const double listenAt = a.fine        ? a.fine->listenAtSeconds
                                : a.placement ? a.placement->listenAtSeconds
                                              : std::max(0.0, r.offsetSeconds);
        r.warnings.prepend(notFoundWarning(whatWasTried(a), r.offsetSeconds, listenAt));
    }
    return r;
}

} // namespace corvale
