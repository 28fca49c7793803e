// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "sync/synctypes.h"
#include "syncresult.h"

#include <QList>

namespace corvale {

// Warnings that flag a finished sync for a spot-check, in a fixed order: low offset confidence,
// then sparse drift coverage (drift applied over at least 300 s of aligned audio with an
// unanchored stretch longer than both 240 s and 66 % of the aligned duration). All in seconds.
[[nodiscard]] QList<SyncWarning> reviewWarnings(const OffsetResult& offset, bool driftApplied,
                                                double longestUnanchoredSpanSeconds,
                                                double alignedDurationSeconds);

// The output was written but its loudness normalisation failed; reason says why.
[[nodiscard]] SyncWarning normalizationWarning(const QString& reason);

// The warning for a track whose sample-accurate alignment could not be confirmed (too few of
// its measured windows agree): code "ALIGNMENT_NOT_CONFIRMED", naming the reference time
// listenAtSeconds (m:ss, or h:mm:ss from an hour) as the place to listen.
[[nodiscard]] SyncWarning alignmentNotConfirmedWarning(double listenAtSeconds);

// The warning for a short file that the whole-reference search could not place and nothing
// else flags: code "PLACEMENT_NOT_CONFIRMED", naming where to listen as above.
[[nodiscard]] SyncWarning placementNotConfirmedWarning(double listenAtSeconds);

} // namespace corvale
