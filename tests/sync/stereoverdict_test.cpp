// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/speechgen.h"
#include "sync/syncengine.h"

#include <gtest/gtest.h>

using namespace corvale;

namespace {

constexpr double kRate = 8000;

std::vector<float> negated(std::vector<float> v) {
    for (float& x : v)
        x = -x;
    return v;
}

} // namespace

TEST(StereoVerdict, IdenticalOrOppositeChannelsAreOneSignal) {
    const auto voice = test::speechLike(30, kRate, 1);
    EXPECT_EQ(stereoVerdict(voice, voice), StereoAnalysis::monoOrIdentical());
    EXPECT_EQ(stereoVerdict(voice, negated(voice)), StereoAnalysis::monoOrIdentical());
}

TEST(StereoVerdict, TwoDifferentVoicesAreSplit) {
    const auto a = test::speechLike(30, kRate, 1);
    const auto b = test::speechLike(30, kRate, 2);
    EXPECT_EQ(stereoVerdict(a, b), StereoAnalysis::split());
}

TEST(StereoVerdict, OneSilentSideSelectsTheOther) {
    const auto voice = test::speechLike(30, kRate, 3);
    const std::vector<float> silence(voice.size(), 0.0f);
    EXPECT_EQ(stereoVerdict(voice, silence), StereoAnalysis::singleChannelOf(0));
    EXPECT_EQ(stereoVerdict(silence, voice), StereoAnalysis::singleChannelOf(1));
    EXPECT_EQ(stereoVerdict(silence, silence), StereoAnalysis::monoOrIdentical());
    EXPECT_EQ(StereoAnalysis::singleChannelOf(1).analysisChannel(), 1);
}

TEST(StereoVerdict, AnRMSOfExactlyOneHundredthCarriesSignal) {
    // 32 equal values: their squares sum without rounding, so the single-precision RMS is
    // exactly 0.01f.
    const std::vector<float> atLimit(32, 0.01f);
    const std::vector<float> below(32, 0.0099f);
    const std::vector<float> silence(32, 0.0f);
    EXPECT_EQ(stereoVerdict(atLimit, silence), StereoAnalysis::singleChannelOf(0));
    EXPECT_EQ(stereoVerdict(below, silence), StereoAnalysis::monoOrIdentical());
    EXPECT_EQ(stereoVerdict(silence, atLimit), StereoAnalysis::singleChannelOf(1));
}

TEST(StereoVerdict, NothingToCompareIsMono) {
    EXPECT_EQ(stereoVerdict({}, {}), StereoAnalysis::monoOrIdentical());
}
