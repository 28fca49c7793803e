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

// How the two channels of a recording relate, over a speech band (200 Hz to 4 kHz, less
// below 8.9 kHz) in 100 ms blocks.
struct ChannelRelation {
    // Highest |normalised cross-correlation| within ±kStereoMaxLagSeconds, and its lag
    // (positive: the right channel is later).
    double peakCorrelation = 0.0;
    double peakLagSeconds = 0.0;
    // Correlation of the two channels' block levels: whether their speech comes and goes together.
    double envelopeCorrelation = 0.0;
    std::int64_t blocks = 0;
};

// Coincident (XY) and spaced (AB) pairs put up to about 1 ms between the channels.
inline constexpr double kStereoMaxLagSeconds = 0.002;
// One voice on two microphones, each with its own colour and noise (recorder_bench
// --stereo-only, 16 and 48 kHz, 30 s, XY and AB 0.2/0.5/1 ms): peak 0.894–0.935, envelopes
// 0.999–1.000. Two voices, taking turns or talking over each other, with 10–30 % bleed 0–3 ms
// late: peak at most 0.558, envelopes at most 0.503. Both must hold: neither a loud bleed nor
// two people who happen to talk at once makes one voice.
inline constexpr double kOneVoicePeak = 0.75;
inline constexpr double kOneVoiceEnvelope = 0.8;
// Below 1 s of blocks the levels say little; the lag-zero rule decides.
inline constexpr std::int64_t kStereoMinBlocks = 10;

[[nodiscard]] ChannelRelation relateChannels(std::span<const float> left,
                                             std::span<const float> right, double sampleRate);

// Stereo verdict from two equally long channel excerpts at sampleRate. One side under RMS 0.01
// (single precision) picks the other; identical or inverted channels (lag-zero correlation
// 0.98) and one voice on two microphones (relateChannels above both one-voice limits) are one
// signal; anything else is split. Empty input gives monoOrIdentical.
[[nodiscard]] StereoAnalysis stereoVerdict(std::span<const float> left,
                                           std::span<const float> right, double sampleRate);

} // namespace corvale
