// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "sync/synctypes.h"
#include "trackanalysis.h"

#include <QString>
#include <QUrl>

#include <memory>
#include <optional>
#include <vector>

namespace corvale {

// One file's analysis, kept until its output is written. The offset already includes the
// drift analysis' start correction.
struct ItemAnalysis {
    qsizetype index = 0; // the input's place in the run's request
    QUrl url;            // the input, which names the outputs
    QString indWAV;
    StereoAnalysis stereo;
    OffsetResult offset;
    DriftAnalysis drift;
    double durationSeconds = 0.0;
    double sampleRate = 44100.0; // the run's rate, the unit of offset.offsetSamples
    double referenceDurationSeconds = 0.0;
    // The writer's quiet map of the analysed channel, made while analysing.
    std::shared_ptr<const std::vector<bool>> quietMap;
    // The fine stage's outcome; empty when it was off or the track too short to measure.
    std::optional<FineAlignment> fine;
    // The whole-reference search's verdict, when it ran.
    std::optional<WaveformPlacement> placement;
    // Whether the output follows the fine stage's clock instead of the coarse result. A fit
    // that does not explain every window is still followed, with a warning.
    [[nodiscard]] bool followsFineClock() const { return fine && fine->fit.usable; }
};

} // namespace corvale
