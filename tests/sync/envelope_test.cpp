// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/speechgen.h"
#include "sync/envelope.h"
#include "sync/vectorops.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numeric>

using namespace corvale;

namespace {

std::vector<float> noise(std::size_t n, std::uint32_t seed) {
    std::vector<float> out(n);
    std::uint32_t state = seed * 747796405u + 1u;
    for (float& v : out) {
        state = state * 1664525u + 1013904223u;
        v = static_cast<float>(state >> 8) / 16777216.0f - 0.5f;
    }
    return out;
}

} // namespace

TEST(VectorOps, ReductionsMatchDoublePrecisionSums) {
    const auto a = noise(1003, 1);
    const auto b = noise(1003, 2);
    double dot = 0.0, squares = 0.0, total = 0.0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        dot += double(a[i]) * double(b[i]);
        squares += double(a[i]) * double(a[i]);
        total += a[i];
    }
    EXPECT_NEAR(vec::dotProduct(a, b), dot, 1e-4);
    EXPECT_NEAR(vec::sumOfSquares(a), squares, 1e-3);
    EXPECT_NEAR(vec::sum(a), total, 1e-4);
    EXPECT_NEAR(vec::mean(a), total / 1003.0, 1e-6);
    EXPECT_NEAR(vec::rootMeanSquare(a), std::sqrt(squares / 1003.0), 1e-6);
    EXPECT_EQ(vec::rootMeanSquare(std::span<const float>()), 0.0f);
    EXPECT_EQ(vec::mean(std::span<const float>()), 0.0f);
}

TEST(VectorOps, SameValuesGiveTheSameBitsAtAnyAddress) {
    const auto a = noise(4410, 3);
    const auto b = noise(4410, 4);
    for (std::size_t shift = 1; shift < 9; ++shift) {
        std::vector<float> movedA(shift, 0.0f), movedB(shift, 0.0f);
        movedA.insert(movedA.end(), a.begin(), a.end());
        movedB.insert(movedB.end(), b.begin(), b.end());
        const auto viewA = std::span<const float>(movedA).subspan(shift);
        const auto viewB = std::span<const float>(movedB).subspan(shift);
        EXPECT_EQ(vec::sumOfSquares(viewA), vec::sumOfSquares(a));
        EXPECT_EQ(vec::dotProduct(viewA, viewB), vec::dotProduct(a, b));
    }
}

TEST(BlockRMS, DropsTheTrailingPartialBlock) {
    const std::vector<float> samples{1, -1, 1, -1, 2, 2, -2, 2, 3};
    EXPECT_EQ(blockRMS(samples, 4), (std::vector<float>{1.0f, 2.0f}));
    EXPECT_TRUE(blockRMS(std::vector<float>{1, 2, 3}, 4).empty());
    EXPECT_TRUE(blockRMS({}, 4).empty());
}

TEST(EnvelopeAccumulator, PiecewisePushesMatchBlockRMSBitForBit) {
    const auto samples = test::speechLike(7.3, 11025, 3);
    const std::int64_t hop = 1102;
    const auto whole = blockRMS(samples, hop);
    for (const std::size_t piece : {std::size_t{1}, std::size_t{7}, std::size_t{1101},
                                    std::size_t{1102}, std::size_t{1103}, std::size_t{110250}}) {
        EnvelopeAccumulator acc(hop);
        for (std::size_t at = 0; at < samples.size(); at += piece)
            acc.push(
                std::span<const float>(samples).subspan(at, std::min(piece, samples.size() - at)));
        EXPECT_EQ(acc.samplesSeen(), static_cast<std::int64_t>(samples.size()));
        EXPECT_EQ(acc.envelope(), whole) << "pieces of " << piece;
    }
}

TEST(OnsetEnvelope, KeepsRisesAndZeroesFalls) {
    EXPECT_TRUE(onsetEnvelope({}).empty());
    EXPECT_EQ(onsetEnvelope(std::vector<float>{5}), std::vector<float>{5});
    EXPECT_EQ(onsetEnvelope(std::vector<float>{1, 3, 2, 5}), (std::vector<float>{0, 2, 0, 3}));
}

TEST(PrefixSums, WidensBeforeSquaring) {
    const auto p = prefixSums(std::vector<float>{1e20f, 2.0f});
    ASSERT_EQ(p.sums.size(), 3u);
    EXPECT_EQ(p.sums[0], 0.0);
    EXPECT_EQ(p.squares[0], 0.0);
    EXPECT_DOUBLE_EQ(p.squares[1], double(1e20f) * double(1e20f)); // overflows in float
    EXPECT_TRUE(std::isfinite(p.squares[2]));
    EXPECT_DOUBLE_EQ(p.sums[2], double(1e20f) + 2.0);
}

TEST(PickSegmentStarts, TakesTheLoudestWindowPerRegionAndTheLowestOnTies) {
    const std::vector<float> flat(10, 1.0f);
    EXPECT_EQ(pickSegmentStarts(flat, 3, 4), (std::vector<std::int64_t>{0, 2, 4, 6}));

    std::vector<float> peaked(10, 1.0f);
    peaked[5] = 9.0f; // windows of 3 covering frame 5 start at 3, 4 and 5
    // Regions 0...3 and 4...7: the first can only reach frame 5 from 3; in the second, 4 and 5
    // tie and the lower wins.
    EXPECT_EQ(pickSegmentStarts(peaked, 3, 2), (std::vector<std::int64_t>{3, 4}));
}

TEST(PickSegmentStarts, HandlesShortInputsAndEmptyRegions) {
    EXPECT_EQ(pickSegmentStarts(std::vector<float>(5, 1.0f), 8, 4), std::vector<std::int64_t>{0});
    EXPECT_TRUE(pickSegmentStarts({}, 8, 4).empty());
    EXPECT_TRUE(pickSegmentStarts(std::vector<float>(10, 1.0f), 3, 0).empty());
    // Two possible starts shared by four regions: two regions are empty.
    EXPECT_EQ(pickSegmentStarts(std::vector<float>(5, 1.0f), 4, 4),
              (std::vector<std::int64_t>{0, 1}));
}

TEST(ScanSegment, FindsAPlantedCopyWithCorrelationOne) {
    const auto reference = noise(2000, 5);
    const auto sums = prefixSums(reference);
    const std::span<const float> segment = std::span<const float>(reference).subspan(700, 300);
    const auto scan = scanSegment(reference, sums, segment, 0, 1700, 601);
    ASSERT_TRUE(scan);
    EXPECT_EQ(scan->bestPosition, 700);
    EXPECT_NEAR(scan->best, 1.0, 1e-5);
    EXPECT_GT(scan->margin, 0.5);
    EXPECT_LT(scan->margin, 1.0);
}

TEST(ScanSegment, MarginIsTheBestScoreWhenNothingLiesFarEnoughAway) {
    const auto reference = noise(900, 6); // 601 positions for a 300-frame segment
    const auto sums = prefixSums(reference);
    const auto segment = std::span<const float>(reference).subspan(300, 300);
    const auto scan = scanSegment(reference, sums, segment, 0, 600, 601);
    ASSERT_TRUE(scan);
    EXPECT_EQ(scan->margin, scan->best);
}

TEST(ScanSegment, FlatSegmentGivesNoEstimate) {
    const auto reference = noise(1000, 7);
    const std::vector<float> flat(300, 0.25f);
    EXPECT_FALSE(scanSegment(reference, prefixSums(reference), flat, 0, 700, 601));
}

TEST(ScanSegment, SilentReferenceScoresEveryPositionMinusTwo) {
    const std::vector<float> silent(1000, 0.0f);
    const auto segment = noise(300, 8);
    const auto scan = scanSegment(silent, prefixSums(silent), segment, 0, 700, 601);
    ASSERT_TRUE(scan);
    EXPECT_EQ(scan->best, -2.0);
    EXPECT_EQ(scan->bestPosition, 0);
    EXPECT_EQ(scan->margin, 0.0);
}

TEST(CombineCandidates, ClustersAroundEachAnchorAndTakesTheBestSupported) {
    // Anchored at 100: {100, 129}; at 129: all three; at 131: {129, 131}.
    const std::vector<OffsetCandidate> c{{100, 0.9, 0.5}, {129, 0.6, 0.1}, {131, 0.7, 0.1}};
    const auto combined = combineCandidates(c);
    EXPECT_EQ(combined.count, 3);
    EXPECT_EQ(combined.lagFrames, 109); // (50 + 12.9 + 13.1) / 0.7 = 108.57
    EXPECT_EQ(combined.confidence, 0.9);
    EXPECT_EQ(combined.margin, 0.5);
    EXPECT_EQ(combined.band, ConfidenceBand::high);
}

TEST(CombineCandidates, EarliestAnchorWinsATieAndHalvesRoundAwayFromZero) {
    // 131's margin is not positive, so clusters at 100 and 129 have equal support.
    const std::vector<OffsetCandidate> c{{100, 0.5, 0.5}, {129, 0.5, 0.5}, {131, 0.5, 0.0}};
    const auto combined = combineCandidates(c);
    EXPECT_EQ(combined.count, 2);
    EXPECT_EQ(combined.lagFrames, 115); // 114.5

    const std::vector<OffsetCandidate> negative{{-100, 0.5, 0.5}, {-129, 0.5, 0.5}};
    EXPECT_EQ(combineCandidates(negative).lagFrames, -115);
}

TEST(CombineCandidates, FloorsWeightsAndGradesTheBand) {
    const std::vector<OffsetCandidate> unweighted{{10, 0.2, 0.0}, {20, 0.3, -0.5}};
    const auto plain = combineCandidates(unweighted);
    EXPECT_EQ(plain.lagFrames, 15);
    EXPECT_EQ(plain.band, ConfidenceBand::low);

    const auto band = [](double score, double margin) {
        const std::vector<OffsetCandidate> one{{0, score, margin}};
        return combineCandidates(one).band;
    };
    EXPECT_EQ(band(0.35, 0.15), ConfidenceBand::high);
    EXPECT_EQ(band(0.34, 0.15), ConfidenceBand::medium);
    EXPECT_EQ(band(0.35, 0.14), ConfidenceBand::medium);
    EXPECT_EQ(band(0.15, 0.06), ConfidenceBand::medium);
    EXPECT_EQ(band(0.149, 0.5), ConfidenceBand::low);
    EXPECT_EQ(band(0.9, 0.059), ConfidenceBand::low);
}

TEST(CombineCandidates, NoCandidatesGiveTheZeroResult) {
    const auto combined = combineCandidates({});
    EXPECT_EQ(combined.lagFrames, 0);
    EXPECT_EQ(combined.confidence, 0.0);
    EXPECT_EQ(combined.margin, 0.0);
    EXPECT_EQ(combined.band, ConfidenceBand::low);
    EXPECT_EQ(combined.count, 0);
}

TEST(LongestUnanchoredSpan, CountsTheTailAfterTheLastAnchor) {
    const std::vector<DriftPoint> points{{720, 0.2}, {0, 0}, {360, 0.1}};
    EXPECT_EQ(longestUnanchoredSpan(points, 3600), 2880);
    EXPECT_EQ(longestUnanchoredSpan({}, 3600), 3600);
    EXPECT_EQ(longestUnanchoredSpan(points, 0), 0);
    EXPECT_EQ(longestUnanchoredSpan(points, std::numeric_limits<double>::quiet_NaN()), 0);
    const std::vector<DriftPoint> late{{1000, 0}, {1200, 0}};
    EXPECT_EQ(longestUnanchoredSpan(late, 1500), 1000); // the stretch before the first anchor
}
