// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "synctypes.h"

#include <cstdint>
#include <span>
#include <stop_token>
#include <vector>

namespace corvale {

// The analysis engine. Pure functions of their inputs and sampleRate; copy it to any thread.
// Sample lists are mono floats at sampleRate. An "envelope" below is the blockRMS envelope:
// one value per hopSamples() samples (0.1 s), trailing partial block dropped.
class SyncEngine {
public:
    explicit SyncEngine(double sampleRate) : m_sampleRate(sampleRate) {}

    [[nodiscard]] double sampleRate() const { return m_sampleRate; }
    // floor(sampleRate / 10): samples per envelope frame.
    [[nodiscard]] std::int64_t hopSamples() const;
    // floor(sampleRate * 10): frames per read chunk (10 s).
    [[nodiscard]] std::int64_t readChunkFrames() const;

    // Start offset of track against reference. Never fails: too little data gives the zero
    // result (band low). Stops early, with what it has, once stop is requested.
    [[nodiscard]] OffsetResult detectOffset(std::span<const float> reference,
                                            std::span<const float> track,
                                            std::stop_token stop = {}) const;
    // Drift along the track against the start offset offsetSamples (detectOffset's, for the same
    // lists). When the drift is corrected, the anchors may be measured against a start moved to
    // the drift at the first overlapping frame: the result's startCorrectionSamples (a multiple
    // of hopSamples) is then to be added to offsetSamples, and the points' times and
    // alignedDurationSeconds refer to that corrected start. Never fails: too little data gives
    // no points or the single anchor (0, 0), not applied. Stops early once stop is requested.
    [[nodiscard]] DriftAnalysis analyzeDrift(std::span<const float> reference,
                                             std::span<const float> track,
                                             std::int64_t offsetSamples,
                                             std::stop_token stop = {}) const;

    // The same analyses from precomputed blockRMS envelopes; results are identical to the
    // sample-list forms, which compute the envelopes and call these.
    [[nodiscard]] OffsetResult detectOffsetFromEnvelopes(std::span<const float> referenceEnvelope,
                                                         std::span<const float> trackEnvelope,
                                                         std::stop_token stop = {}) const;
    [[nodiscard]] DriftAnalysis analyzeDriftFromEnvelopes(std::span<const float> referenceEnvelope,
                                                          std::span<const float> trackEnvelope,
                                                          std::int64_t offsetSamples,
                                                          std::stop_token stop = {}) const;

private:
    double m_sampleRate;
};

// Stereo verdict from two equally long channel excerpts (single precision, RMS limit 0.01,
// correlation limit 0.98). Empty input gives monoOrIdentical.
[[nodiscard]] StereoAnalysis stereoVerdict(std::span<const float> left,
                                           std::span<const float> right);

} // namespace corvale
