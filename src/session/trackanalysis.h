// SPDX-License-Identifier: GPL-3.0-or-later
// The per-file analysis of a run, as plain functions that run off the GUI thread. They read
// files into 0.1 s envelopes as they go, so memory does not grow with the recordings' length.
#pragma once

#include "audio/result.h"
#include "sync/syncengine.h"

#include <QString>

#include <memory>
#include <stop_token>
#include <vector>

namespace corvale {

struct TrackAnalysisResult {
    StereoAnalysis stereo;
    OffsetResult offset; // includes the drift analysis' start correction
    DriftAnalysis drift;
    std::int64_t frameCount = 0;
    // The writer's quiet map of the analysed channel, made in the same read.
    std::shared_ptr<const std::vector<bool>> quietMap;
};

// The reference's envelope. A stereo reference is checked like a track: two different voices
// are analysed from their sum, a side that is silent gives way to the other, and anything
// else is analysed from its left channel.
[[nodiscard]] Result<std::vector<float>> loadReferenceEnvelope(const SyncEngine& engine,
                                                               const QString& wav, bool stereo,
                                                               std::stop_token stop);

// Stereo check (when the converted file has two channels), envelope of the chosen channel,
// offset and drift against the reference envelope.
[[nodiscard]] Result<TrackAnalysisResult> analyzeTrack(const SyncEngine& engine, const QString& wav,
                                                       bool stereo,
                                                       const std::vector<float>& referenceEnvelope,
                                                       std::stop_token stop);

// Moves an offset by the drift analysis' start correction.
[[nodiscard]] OffsetResult withStartCorrection(const SyncEngine& engine, OffsetResult offset,
                                               const DriftAnalysis& drift);

} // namespace corvale
