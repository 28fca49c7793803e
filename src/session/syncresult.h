// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "sync/synctypes.h"

#include <QList>
#include <QString>
#include <QUrl>

#include <optional>
#include <vector>

namespace corvale {

struct SyncWarning {
    QString code;
    QString message;
    bool operator==(const SyncWarning&) const = default;
};

// What a finished item keeps.
struct SyncResult {
    double offsetSeconds = 0.0;
    std::vector<DriftPoint> driftPoints;
    QUrl outputURL;
    double confidence = 0.0;
    ConfidenceBand confidenceBand = ConfidenceBand::low;
    QList<SyncWarning> warnings;
    std::optional<double> normalizedLUFS;
    std::optional<QUrl> outputURLRight;
    std::optional<int> mergedPartCount;
    // The whole-reference waveform search placed the file, not the loudness envelopes.
    bool placedByWaveformSearch = false;
    bool operator==(const SyncResult&) const = default;
};

} // namespace corvale
