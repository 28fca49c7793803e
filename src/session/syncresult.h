// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "sync/synctypes.h"

#include <QList>
#include <QString>
#include <QUrl>

#include <cstdint>
#include <optional>
#include <vector>

namespace corvale {

// Why a finished sync is worth a listen. Each kind has one code and its texts in
// reviewwarnings.cpp.
enum class WarningKind {
    lowOffsetConfidence,
    sparseDriftCoverage,
    alignmentNotConfirmed,
    placementNotConfirmed,
    normalizationFailed,
    notFound,
    driftDisagrees, // the coarse drift segments contradict the clock written
};

// The stable upper-snake code of a kind, as --json and the tests name it.
[[nodiscard]] QString warningCode(WarningKind kind);

struct SyncWarning {
    WarningKind kind = WarningKind::lowOffsetConfidence;
    QString message;
    [[nodiscard]] QString code() const { return warningCode(kind); }
    bool operator==(const SyncWarning&) const = default;
};

// What a finished item can be said to be, from the best to the worst.
enum class ItemVerdict { placed, needsReview, notFound, failed, cancelled };
[[nodiscard]] QString rawValue(ItemVerdict verdict);

// The clock the output was written with, for the drift chart: the drift (output time minus
// the offset's straight line, seconds) along the track, the measured windows as points and
// the track times of any breaks. A coarse result has its drift anchors as the line.
struct AppliedClock {
    std::vector<DriftPoint> line;
    std::vector<DriftPoint> windows;
    std::vector<double> breakSeconds;
    bool operator==(const AppliedClock&) const = default;
};

// What a finished item keeps: the placement and clock actually written.
struct SyncResult {
    double offsetSeconds = 0.0;
    std::int64_t offsetSamples = 0;
    double sampleRate = 0.0;
    // The drift followed over the whole track: where its last sample landed against where a
    // clock without drift would have put it, seconds.
    double finalDriftSeconds = 0.0;
    bool driftCorrected = false;
    std::vector<DriftPoint> driftPoints; // the coarse analysis' anchors
    AppliedClock clock;
    QUrl outputURL;
    double confidence = 0.0;
    ConfidenceBand confidenceBand = ConfidenceBand::low;
    QList<SyncWarning> warnings;
    std::optional<double> normalizedLUFS;
    std::optional<QUrl> outputURLRight;
    std::optional<int> mergedPartCount;
    // The whole-reference waveform search placed the file, not the loudness envelopes.
    bool placedByWaveformSearch = false;
    // No stage vouched for the file: it was written at the best guess.
    bool notFound = false;
    // Track audio that fell before the reference's start or after its end, seconds.
    double leftOutBeforeSeconds = 0.0;
    double leftOutAfterSeconds = 0.0;

    [[nodiscard]] ItemVerdict verdict() const {
        if (notFound)
            return ItemVerdict::notFound;
        return warnings.isEmpty() ? ItemVerdict::placed : ItemVerdict::needsReview;
    }
    bool operator==(const SyncResult&) const = default;
};

} // namespace corvale
