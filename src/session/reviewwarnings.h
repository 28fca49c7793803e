// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "sync/synctypes.h"
#include "syncresult.h"

#include <QList>

namespace corvale {

// Drift corrected across a stretch with no anchor is flagged when the aligned audio is at
// least this long…
inline constexpr double kSparseDriftMinimumSeconds = 300.0;
// …and the stretch is longer than both of these.
inline constexpr double kSparseDriftGapSeconds = 240.0;
inline constexpr double kSparseDriftGapShare = 0.66;

// A coarse result is contradicted by its own drift segments when at least this many of them
// lie off the drift it applies (DriftAnalysis::segmentsDisagreeing)…
inline constexpr int kDisagreeingSegmentsMinimum = 2;
// …and they are at least this share of the segments measured.
inline constexpr double kDisagreeingSegmentsShare = 0.25;

// Warnings that flag a finished sync for a spot-check, in a fixed order: low offset confidence,
// then sparse drift coverage (see the constants above). All in seconds.
[[nodiscard]] QList<SyncWarning> reviewWarnings(const OffsetResult& offset, bool driftApplied,
                                                double longestUnanchoredSpanSeconds,
                                                double alignedDurationSeconds);

// The output was written but its loudness normalisation failed; reason says why.
[[nodiscard]] SyncWarning normalizationWarning(const QString& reason);

// The sample-accurate alignment could not be confirmed (too few of its measured windows
// agree), naming the reference time listenAtSeconds (m:ss, or h:mm:ss from an hour) as the
// place to listen.
[[nodiscard]] SyncWarning alignmentNotConfirmedWarning(double listenAtSeconds);

// A short file that the whole-reference search could not place and nothing else flags.
[[nodiscard]] SyncWarning placementNotConfirmedWarning(double listenAtSeconds);

// No stage vouched for the file: what was tried, and the best guess it was written at.
[[nodiscard]] SyncWarning notFoundWarning(const QString& tried, double bestGuessSeconds,
                                          double listenAtSeconds);

// The coarse drift segments do not agree with the placement written (a clock beyond the
// coarse analysis' reach, or a placement in the wrong spot).
[[nodiscard]] SyncWarning driftDisagreesWarning(int disagreeing, int measured);

// m:ss, or h:mm:ss from an hour; never negative.
[[nodiscard]] QString clockText(double seconds);

} // namespace corvale
