// SPDX-License-Identifier: GPL-3.0-or-later
#include "reviewwarnings.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <utility>

namespace corvale {

QString warningCode(WarningKind kind) {
    static constexpr std::array<std::pair<WarningKind, const char*>, 7> kCodes{{
        {WarningKind::lowOffsetConfidence, "LOW_OFFSET_CONFIDENCE"},
        {WarningKind::sparseDriftCoverage, "SPARSE_DRIFT_COVERAGE"},
        {WarningKind::alignmentNotConfirmed, "ALIGNMENT_NOT_CONFIRMED"},
        {WarningKind::placementNotConfirmed, "PLACEMENT_NOT_CONFIRMED"},
        {WarningKind::normalizationFailed, "NORMALIZATION_FAILED"},
        {WarningKind::notFound, "NOT_FOUND"},
        {WarningKind::driftDisagrees, "DRIFT_NOT_FOLLOWED"},
    }};
    for (const auto& [k, code] : kCodes) {
        if (k == kind)
            return QString::fromLatin1(code);
    }
    return {};
}

QString rawValue(ItemVerdict verdict) {
    switch (verdict) {
    case ItemVerdict::placed:
        return QStringLiteral("placed");
    case ItemVerdict::needsReview:
        return QStringLiteral("needsReview");
    case ItemVerdict::notFound:
        return QStringLiteral("notFound");
    case ItemVerdict::failed:
        return QStringLiteral("failed");
    case ItemVerdict::cancelled:
        break;
    }
    return QStringLiteral("cancelled");
}

QList<SyncWarning> reviewWarnings(const OffsetResult& offset, bool driftApplied,
                                  double longestUnanchoredSpanSeconds,
                                  double alignedDurationSeconds) {
    QList<SyncWarning> warnings;
    if (offset.confidenceBand == ConfidenceBand::low) {
        warnings.append({WarningKind::lowOffsetConfidence,
                         QStringLiteral("No confident alignment was found for this track — "
                                        "check its sync in your DAW.")});
    }
    const double limit =
        std::max(kSparseDriftGapSeconds, kSparseDriftGapShare * alignedDurationSeconds);
    if (driftApplied && alignedDurationSeconds >= kSparseDriftMinimumSeconds &&
        longestUnanchoredSpanSeconds > limit) {
        // asprintf formats with "." whatever the locale.
        warnings.append({WarningKind::sparseDriftCoverage,
                         QString::asprintf("Drift was corrected across a %.0f-minute gap with no "
                                           "reference point — check alignment late in this "
                                           "track.",
                                           longestUnanchoredSpanSeconds / 60.0)});
    }
    return warnings;
}

SyncWarning normalizationWarning(const QString& reason) {
    return {WarningKind::normalizationFailed,
            QStringLiteral("Loudness normalization failed — %1. The file was written without "
                           "it; normalize it in your DAW.")
                .arg(reason)};
}

QString clockText(double seconds) {
    const auto total = std::isfinite(seconds) ? std::max<long long>(std::llround(seconds), 0) : 0;
    const long long hours = total / 3600;
    const long long minutes = (total / 60) % 60;
    const long long s = total % 60;
    return hours > 0 ? QString::asprintf("%lld:%02lld:%02lld", hours, minutes, s)
                     : QString::asprintf("%lld:%02lld", minutes, s);
}

SyncWarning alignmentNotConfirmedWarning(double listenAtSeconds) {
    return {WarningKind::alignmentNotConfirmed,
            QStringLiteral("The alignment of this track could not be confirmed — listen around "
                           "%1 to check its sync in your DAW.")
                .arg(clockText(listenAtSeconds))};
}

SyncWarning placementNotConfirmedWarning(double listenAtSeconds) {
    return {WarningKind::placementNotConfirmed,
            QStringLiteral("This file could not be found with certainty in the reference — "
                           "listen around %1 to check its sync in your DAW.")
                .arg(clockText(listenAtSeconds))};
}

SyncWarning notFoundWarning(const QString& tried, double bestGuessSeconds, double listenAtSeconds) {
    const QString guess = QStringLiteral("%1 %2").arg(
        clockText(std::fabs(bestGuessSeconds)),
        bestGuessSeconds >= 0 ? QStringLiteral("late") : QStringLiteral("early"));
    return {WarningKind::notFound,
            QStringLiteral("This file was not found in the reference: %1. It was written at the "
                           "best guess, %2 — listen around %3, or check that it belongs to this "
                           "recording.")
                .arg(tried, guess, clockText(listenAtSeconds))};
}

SyncWarning driftDisagreesWarning(int disagreeing, int measured) {
    return {WarningKind::driftDisagrees,
            QStringLiteral("%1 of %2 drift measurements along this track do not agree with the "
                           "clock it was written with — its recorder may drift faster than can "
                           "be followed without sample-accurate alignment. Check its sync late "
                           "in the track.")
                .arg(disagreeing)
                .arg(measured)};
}

} // namespace corvale
