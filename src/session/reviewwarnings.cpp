// SPDX-License-Identifier: GPL-3.0-or-later
#include "reviewwarnings.h"

#include <algorithm>
#include <cmath>

namespace corvale {

QList<SyncWarning> reviewWarnings(const OffsetResult& offset, bool driftApplied,
                                  double longestUnanchoredSpanSeconds,
                                  double alignedDurationSeconds) {
    QList<SyncWarning> warnings;
    if (offset.confidenceBand == ConfidenceBand::low) {
        warnings.append({QStringLiteral("LOW_OFFSET_CONFIDENCE"),
                         QStringLiteral("No confident alignment was found for this track — "
                                        "check its sync in your DAW.")});
    }
    const double limit = std::max(240.0, 0.66 * alignedDurationSeconds);
    if (driftApplied && alignedDurationSeconds >= 300.0 && longestUnanchoredSpanSeconds > limit) {
        // asprintf formats with "." whatever the locale.
        warnings.append({QStringLiteral("SPARSE_DRIFT_COVERAGE"),
                         QString::asprintf("Drift was corrected across a %.0f-minute gap with no "
                                           "reference point — check alignment late in this "
                                           "track.",
                                           longestUnanchoredSpanSeconds / 60.0)});
    }
    return warnings;
}

SyncWarning normalizationWarning(const QString& reason) {
    return {QStringLiteral("NORMALIZATION_FAILED"),
            QStringLiteral("Loudness normalization failed — %1. The file was written without "
                           "it; normalize it in your DAW.")
                .arg(reason)};
}

namespace {

// m:ss, or h:mm:ss from an hour.
QString clockText(double seconds) {
    const auto total = std::isfinite(seconds) ? std::max<long long>(std::llround(seconds), 0) : 0;
    const long long hours = total / 3600;
    const long long minutes = (total / 60) % 60;
    const long long s = total % 60;
    return hours > 0 ? QString::asprintf("%lld:%02lld:%02lld", hours, minutes, s)
                     : QString::asprintf("%lld:%02lld", minutes, s);
}

} // namespace

SyncWarning alignmentNotConfirmedWarning(double listenAtSeconds) {
    return {QStringLiteral("ALIGNMENT_NOT_CONFIRMED"),
            QStringLiteral("The alignment of this track could not be confirmed — listen around "
                           "%1 to check its sync in your DAW.")
                .arg(clockText(listenAtSeconds))};
}

SyncWarning placementNotConfirmedWarning(double listenAtSeconds) {
    return {QStringLiteral("PLACEMENT_NOT_CONFIRMED"),
            QStringLiteral("This file could not be found with certainty in the reference — "
                           "listen around %1 to check its sync in your DAW.")
                .arg(clockText(listenAtSeconds))};
}

} // namespace corvale
