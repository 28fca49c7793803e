// SPDX-License-Identifier: GPL-3.0-or-later
#include "reviewwarnings.h"

#include <algorithm>

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

} // namespace corvale
