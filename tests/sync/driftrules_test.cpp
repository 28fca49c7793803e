// SPDX-License-Identifier: GPL-3.0-or-later
#include "sync/driftrules.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace corvale;

namespace {

std::vector<DriftMeasurement> atMinutes(std::initializer_list<std::int64_t> driftFrames) {
    std::vector<DriftMeasurement> out;
    std::int64_t time = 0;
    for (const std::int64_t d : driftFrames)
        out.push_back({time += 1800, d}); // one measurement per three minutes
    return out;
}

std::vector<std::int64_t> driftsOf(const std::vector<DriftMeasurement>& kept) {
    std::vector<std::int64_t> out;
    for (const DriftMeasurement& m : kept)
        out.push_back(m.driftFrames);
    return out;
}

} // namespace

TEST(DriftSegmentCount, OnePerThreeMinutesClampedToSixAndForty) {
    EXPECT_EQ(driftSegmentCount(600), 6);    // 10 min
    EXPECT_EQ(driftSegmentCount(3600), 20);  // 1 h
    EXPECT_EQ(driftSegmentCount(10800), 40); // 3 h
    EXPECT_EQ(driftSegmentCount(1439.9), 7);
    EXPECT_EQ(driftSegmentCount(0), 6);
    EXPECT_EQ(driftSegmentCount(-5), 6);
    EXPECT_EQ(driftSegmentCount(1e300), 40);
}

TEST(KeepContinuous, KeepsAnExactThreeFrameStepFromAnyStartingDrift) {
    // 0.1 s -> 0.4 s is a step of 0.30000000000000004 s in seconds: still three frames.
    const auto kept = keepContinuous(atMinutes({1, 4, 7, 8}));
    EXPECT_EQ(driftsOf(kept), (std::vector<std::int64_t>{0, 1, 4, 7, 8}));
    EXPECT_EQ(kept.front(), DriftMeasurement{});
    EXPECT_EQ(kept[2].timeFrames, 3600);
}

TEST(KeepContinuous, NeverFollowsASuddenJump) {
    // A first measurement four frames from the anchor is dropped, and so is every later one
    // that is not within three frames of the last kept drift.
    EXPECT_EQ(driftsOf(keepContinuous(atMinutes({4, 5, 3, -2, 9, 2}))),
              (std::vector<std::int64_t>{0, 3, 2}));
    EXPECT_EQ(driftsOf(keepContinuous(atMinutes({-3, -6, 20, -7}))),
              (std::vector<std::int64_t>{0, -3, -6, -7}));
    EXPECT_EQ(driftsOf(keepContinuous({})), std::vector<std::int64_t>{0});
}

TEST(DriftIsApplicable, NeedsTwoKeptMeasurementsAndMoreThanHalfASecond) {
    const std::int64_t hop = 800;
    const double rate = 8000;
    EXPECT_FALSE(driftIsApplicable(keepContinuous(atMinutes({2, 5})), hop, rate)); // 0.5 s
    EXPECT_TRUE(driftIsApplicable(keepContinuous(atMinutes({3, 6})), hop, rate));  // 0.6 s
    EXPECT_TRUE(driftIsApplicable(keepContinuous(atMinutes({-3, -6})), hop, rate));
    EXPECT_FALSE(driftIsApplicable(keepContinuous(atMinutes({6})), hop, rate));
    EXPECT_FALSE(driftIsApplicable(keepContinuous({}), hop, rate));
    // At 44.1 kHz five frames are exactly 0.5 s too.
    EXPECT_FALSE(driftIsApplicable(keepContinuous(atMinutes({2, 5})), 4410, 44100));
}

TEST(StartDriftFrames, ReadsTheLeastSquaresLineAtTimeZero) {
    // drift = -7.5 + t / 1200 frames: -7.5 rounds away from zero.
    std::vector<DriftMeasurement> line;
    for (std::int64_t t = 600; t <= 36000; t += 1800)
        line.push_back({t, static_cast<std::int64_t>(std::floor(-7.5 + double(t) / 1200.0))});
    const std::int64_t start = startDriftFrames(line);
    EXPECT_GE(start, -9);
    EXPECT_LE(start, -7);
    EXPECT_EQ(startDriftFrames(std::vector<DriftMeasurement>{{1000, -3}, {3000, 1}}), -5);
    EXPECT_EQ(startDriftFrames(std::vector<DriftMeasurement>{{1024, -2}, {3072, 1}}), -4); // -3.5
    EXPECT_EQ(startDriftFrames(std::vector<DriftMeasurement>{{1024, 2}, {3072, -1}}), 4);  // 3.5
}

TEST(StartDriftFrames, NoLineWithoutTwoDistinctTimes) {
    EXPECT_EQ(startDriftFrames({}), 0);
    EXPECT_EQ(startDriftFrames(std::vector<DriftMeasurement>{{1000, 5}}), 0);
    EXPECT_EQ(startDriftFrames(std::vector<DriftMeasurement>{{1000, 5}, {1000, 7}}), 0);
}
