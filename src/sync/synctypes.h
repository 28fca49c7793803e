// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace corvale {

// One drift anchor. timeSeconds counts from the first track sample that overlaps the
// reference; driftSeconds is where the track's material was found in the reference minus
// where the start offset alone puts it (positive: later on the reference's timeline).
struct DriftPoint {
    double timeSeconds = 0.0;
    double driftSeconds = 0.0;
    bool operator==(const DriftPoint&) const = default;
};

enum class ConfidenceBand { high, medium, low };

[[nodiscard]] std::string_view rawValue(ConfidenceBand band);
// Exactly "high", "medium" or "low" (case-sensitive); anything else gives no value.
[[nodiscard]] std::optional<ConfidenceBand> confidenceBandFromRaw(std::string_view raw);

// Verdict on a two-channel input.
struct StereoAnalysis {
    enum class Kind { singleChannel, monoOrIdentical, split };
    Kind kind = Kind::monoOrIdentical;
    int channel = 0; // only meaningful for singleChannel: 0 = left, 1 = right

    static StereoAnalysis singleChannelOf(int c) { return {Kind::singleChannel, c}; }
    static StereoAnalysis monoOrIdentical() { return {Kind::monoOrIdentical, 0}; }
    static StereoAnalysis split() { return {Kind::split, 0}; }
    // The channel the track is analysed from.
    [[nodiscard]] int analysisChannel() const { return kind == Kind::singleChannel ? channel : 0; }
    bool operator==(const StereoAnalysis&) const = default;
};

struct OffsetResult {
    std::int64_t offsetSamples = 0; // always a multiple of hopSamples
    double offsetSeconds = 0.0;
    double confidence = 0.0;
    double margin = 0.0;
    double bestScore = 0.0;
    ConfidenceBand confidenceBand = ConfidenceBand::low;
    bool crossCheckAgrees = false;
};

struct DriftAnalysis {
    std::vector<DriftPoint> points;
    bool driftApplied = false;
    double longestUnanchoredSpanSeconds = 0.0;
    double alignedDurationSeconds = 0.0;
    // Samples to add to OffsetResult::offsetSamples when the points are measured against a
    // start that was moved to the drift at the first overlapping frame. 0 unless driftApplied.
    std::int64_t startCorrectionSamples = 0;
    // Segments whose measurement was clear, and of those the ones lying more than the
    // continuity limit away from the drift applied (or from no drift when none is applied):
    // evidence of a clock the coarse analysis could not follow.
    int segmentsMeasured = 0;
    int segmentsDisagreeing = 0;
};

} // namespace corvale
