// SPDX-License-Identifier: GPL-3.0-or-later
#include "demo/speechgen.h"
#include "support/speechgen.h"
#include "support/stereopair.h"
#include "sync/syncengine.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

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
    EXPECT_EQ(stereoVerdict(voice, voice, kRate), StereoAnalysis::monoOrIdentical());
    EXPECT_EQ(stereoVerdict(voice, negated(voice), kRate), StereoAnalysis::monoOrIdentical());
}

TEST(StereoVerdict, TwoDifferentVoicesAreSplit) {
    const auto a = test::speechLike(30, kRate, 1);
    const auto b = test::speechLike(30, kRate, 2);
    EXPECT_EQ(stereoVerdict(a, b, kRate), StereoAnalysis::split());
}

TEST(StereoVerdict, OneSilentSideSelectsTheOther) {
    const auto voice = test::speechLike(30, kRate, 3);
    const std::vector<float> silence(voice.size(), 0.0f);
    EXPECT_EQ(stereoVerdict(voice, silence, kRate), StereoAnalysis::singleChannelOf(0));
    EXPECT_EQ(stereoVerdict(silence, voice, kRate), StereoAnalysis::singleChannelOf(1));
    EXPECT_EQ(stereoVerdict(silence, silence, kRate), StereoAnalysis::monoOrIdentical());
    EXPECT_EQ(StereoAnalysis::singleChannelOf(1).analysisChannel(), 1);
}

TEST(StereoVerdict, AnRMSOfExactlyOneHundredthCarriesSignal) {
    // 32 equal values: their squares sum without rounding, so the single-precision RMS is
    // exactly 0.01f.
    const std::vector<float> atLimit(32, 0.01f);
    const std::vector<float> below(32, 0.0099f);
    const std::vector<float> silence(32, 0.0f);
    EXPECT_EQ(stereoVerdict(atLimit, silence, kRate), StereoAnalysis::singleChannelOf(0));
    EXPECT_EQ(stereoVerdict(below, silence, kRate), StereoAnalysis::monoOrIdentical());
    EXPECT_EQ(stereoVerdict(silence, atLimit, kRate), StereoAnalysis::singleChannelOf(1));
}

TEST(StereoVerdict, NothingToCompareIsMono) {
    EXPECT_EQ(stereoVerdict({}, {}, kRate), StereoAnalysis::monoOrIdentical());
}

// Two microphones a few centimetres apart, each with its own colour and noise: the right one
// hears the voice up to 1 ms later, so the channels barely match sample for sample.
TEST(StereoVerdict, OneVoiceOnCoincidentOrSpacedMicrophonesIsOneSignal) {
    constexpr double rate = 16000;
    const auto voice = test::speechLike(30, rate, 5);
    for (const double ms : {0.0, 0.2, 0.5, 1.0}) {
        const auto pair = test::oneVoicePair(voice, rate, ms, 11);
        EXPECT_EQ(stereoVerdict(pair.left, pair.right, rate), StereoAnalysis::monoOrIdentical())
            << ms << " ms";
        EXPECT_EQ(stereoVerdict(pair.left, negated(pair.right), rate),
                  StereoAnalysis::monoOrIdentical())
            << ms << " ms, one capsule wired backwards";
    }
}

TEST(StereoVerdict, TwoVoicesWithBleedStaySplit) {
    constexpr double rate = 16000;
    const auto talk = demo::conversation(2, 30, rate, 6);
    const auto a = test::speechLike(30, rate, 7);
    const auto b = test::speechLike(30, rate, 8);
    for (const double ms : {0.0, 0.5}) {
        const auto turns = test::twoVoicePair(talk[0], talk[1], rate, 0.3f, ms, 21);
        EXPECT_EQ(stereoVerdict(turns.left, turns.right, rate), StereoAnalysis::split()) << ms;
        const auto over = test::twoVoicePair(a, b, rate, 0.3f, ms, 21);
        EXPECT_EQ(stereoVerdict(over.left, over.right, rate), StereoAnalysis::split()) << ms;
    }
}
// Each of the two rules holds alone. Loud bleed (80 %) brings the two sides' levels together
// (0.96) while their waveforms stay apart (peak 0.51); add a hum shared by both microphones to
// 60 % bleed and the waveforms come together (peak 0.86) while the levels, following different
// people, do not (0.68).
TEST(StereoVerdict, TwoVoicesStaySplitWhenOnlyTheirLevelsOrOnlyTheirWaveformsAgree) {
    constexpr double rate = 16000;
    const auto a = test::speechLike(30, rate, 7);
    const auto b = test::speechLike(30, rate, 8);
    const auto loudBleed = test::twoVoicePair(a, b, rate, 0.8f, 0.5, 21);
    EXPECT_EQ(stereoVerdict(loudBleed.left, loudBleed.right, rate), StereoAnalysis::split());

    auto hum = test::twoVoicePair(a, b, rate, 0.6f, 0.5, 21);
    for (std::size_t i = 0; i < hum.left.size(); ++i) {
        const auto h = 0.3f * float(std::sin(2 * std::numbers::pi * 330.0 * double(i) / rate));
        hum.left[i] += h;
        hum.right[i] += h;
    }
    EXPECT_EQ(stereoVerdict(hum.left, hum.right, rate), StereoAnalysis::split());
}
