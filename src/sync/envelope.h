// SPDX-License-Identifier: GPL-3.0-or-later
// Envelope and correlation helpers shared by offset detection and drift analysis.
// Envelope frames are hop samples long (0.1 s at the engine's rate).
#pragma once

#include "synctypes.h"

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace corvale {

// sqrt(mean of squares) of each whole block of hop samples, single precision.
// Fewer than hop samples give an empty list. hop >= 1.
[[nodiscard]] std::vector<float> blockRMS(std::span<const float> samples, std::int64_t hop);

// Builds the blockRMS envelope incrementally from consecutive sample blocks of any size,
// bit-identical to blockRMS over the concatenated samples.
class EnvelopeAccumulator {
public:
    explicit EnvelopeAccumulator(std::int64_t hop);
    void push(std::span<const float> samples);
    [[nodiscard]] const std::vector<float>& envelope() const { return m_envelope; }
    [[nodiscard]] std::vector<float> takeEnvelope() { return std::move(m_envelope); }
    [[nodiscard]] std::int64_t samplesSeen() const { return m_samplesSeen; }

private:
    std::int64_t m_hop;
    std::int64_t m_samplesSeen = 0;
    std::vector<float> m_pending; // a partial block carried to the next push
    std::vector<float> m_envelope;
};

// out[0] = 0, out[i] = max(0, e[i] - e[i-1]); fewer than 2 values are returned unchanged.
[[nodiscard]] std::vector<float> onsetEnvelope(std::span<const float> envelope);

struct PrefixSums {
    std::vector<double> sums;    // n + 1 entries, sums[0] = 0
    std::vector<double> squares; // n + 1 entries, squares[0] = 0
};
[[nodiscard]] PrefixSums prefixSums(std::span<const float> values);

// Up to count window starts of length windowLength, the loudest window of each of count equal
// regions, ascending. Lowest start wins ties.
[[nodiscard]] std::vector<std::int64_t>
pickSegmentStarts(std::span<const float> envelope, std::int64_t windowLength, std::int64_t count);

struct ScanResult {
    std::int64_t bestPosition = 0;
    double best = 0.0;
    double margin = 0.0;
};

// Normalised cross-correlation of segment against reference positions firstPosition ...
// lastPosition (inclusive). No value when the segment is flat or no finite best exists.
[[nodiscard]] std::optional<ScanResult>
scanSegment(std::span<const float> reference, const PrefixSums& referenceSums,
            std::span<const float> segment, std::int64_t firstPosition, std::int64_t lastPosition,
            std::int64_t exclusion);

struct OffsetCandidate {
    std::int64_t lagFrames = 0;
    double score = 0.0;
    double margin = 0.0;
};

struct CombinedOffset {
    std::int64_t lagFrames = 0;
    double confidence = 0.0;
    double margin = 0.0;
    ConfidenceBand band = ConfidenceBand::low;
    std::int64_t count = 0;
};

// The combined offset's band: low below either of these…
inline constexpr double kLowBandConfidence = 0.15;
inline constexpr double kLowBandMargin = 0.06;
// …high from both of these, medium between.
inline constexpr double kHighBandConfidence = 0.35;
inline constexpr double kHighBandMargin = 0.15;

// Clusters candidates within 30 frames of each anchor and combines the best-supported cluster.
[[nodiscard]] CombinedOffset combineCandidates(std::span<const OffsetCandidate> candidates);

// Largest stretch of alignedDurationSeconds without a point, the tail after the last included.
[[nodiscard]] double longestUnanchoredSpan(std::span<const DriftPoint> points,
                                           double alignedDurationSeconds);

} // namespace corvale
