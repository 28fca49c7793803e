// SPDX-License-Identifier: GPL-3.0-or-later
// Offset detection on generated speech at 8 kHz (hop 800): the engine works in 0.1 s envelope
// frames, so a low rate behaves like 44.1 or 48 kHz and keeps the tests fast.
#include "support/speechgen.h"
#include "sync/envelope.h"
#include "sync/syncengine.h"

#include <gtest/gtest.h>

using namespace corvale;

namespace {

constexpr double kRate = 8000;

std::int64_t at(double seconds) {
    return static_cast<std::int64_t>(seconds * kRate);
}

std::vector<float> concat(std::vector<float> a, const std::vector<float>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

void expectZeroResult(const OffsetResult& r) {
    EXPECT_EQ(r.offsetSamples, 0);
    EXPECT_EQ(r.offsetSeconds, 0.0);
    EXPECT_EQ(r.confidence, 0.0);
    EXPECT_EQ(r.margin, 0.0);
    EXPECT_EQ(r.bestScore, 0.0);
    EXPECT_EQ(r.confidenceBand, ConfidenceBand::low);
    EXPECT_FALSE(r.crossCheckAgrees);
}

class OffsetDetection : public testing::Test {
protected:
    static void SetUpTestSuite() {
        s_reference = new std::vector<float>(test::speechLike(900, kRate, 7));
    }
    static void TearDownTestSuite() {
        delete s_reference;
        s_reference = nullptr;
    }
    static const std::vector<float>& reference() { return *s_reference; }
    static inline std::vector<float>* s_reference = nullptr;
    SyncEngine engine{kRate};
};

} // namespace

TEST(SyncEngineUnits, HopIsATenthOfASecondAndChunksTenSeconds) {
    EXPECT_EQ(SyncEngine(44100).hopSamples(), 4410);
    EXPECT_EQ(SyncEngine(48000).hopSamples(), 4800);
    EXPECT_EQ(SyncEngine(11025).hopSamples(), 1102);
    EXPECT_EQ(SyncEngine(44100).readChunkFrames(), 441000);
    EXPECT_EQ(SyncEngine(22050.5).readChunkFrames(), 220505);
}

TEST_F(OffsetDetection, ACopyTakenAtNinetySecondsIsFoundThereWithFullConfidence) {
    const auto track = test::excerpt(reference(), at(90), at(600));
    const OffsetResult r = engine.detectOffset(reference(), track);
    EXPECT_EQ(r.offsetSamples, 900 * 800);
    EXPECT_EQ(r.offsetSeconds, 90.0);
    EXPECT_NEAR(r.confidence, 1.0, 1e-5);
    EXPECT_EQ(r.bestScore, r.confidence);
    EXPECT_GT(r.margin, 0.15);
    EXPECT_EQ(r.confidenceBand, ConfidenceBand::high);
    EXPECT_TRUE(r.crossCheckAgrees);
}

TEST_F(OffsetDetection, ATrackThatBeganEarlierGetsANegativeOffset) {
    const auto track =
        concat(test::speechLike(12.3, kRate, 99), test::excerpt(reference(), 0, at(500)));
    const OffsetResult r = engine.detectOffset(reference(), track);
    EXPECT_EQ(r.offsetSamples, -123 * 800);
    EXPECT_DOUBLE_EQ(r.offsetSeconds, -12.3);
    EXPECT_EQ(r.confidenceBand, ConfidenceBand::high);
    EXPECT_TRUE(r.crossCheckAgrees);
}

TEST_F(OffsetDetection, OffsetsAreWholeFramesOfTheEnvelope) {
    // 37.25 s lies between frames: the answer is a neighbouring frame, a multiple of the hop.
    const auto track = test::excerpt(reference(), at(37.25), at(300));
    const OffsetResult r = engine.detectOffset(reference(), track);
    EXPECT_EQ(r.offsetSamples % engine.hopSamples(), 0);
    EXPECT_NEAR(r.offsetSeconds, 37.25, 0.051);
}

TEST_F(OffsetDetection, ATwentySecondTrackIsOneSegmentWithoutCrossCheck) {
    const auto track = test::excerpt(reference(), at(400), at(20));
    const OffsetResult r = engine.detectOffset(reference(), track);
    EXPECT_EQ(r.offsetSeconds, 400.0);
    EXPECT_FALSE(r.crossCheckAgrees);
}

TEST_F(OffsetDetection, SilentOrTooShortInputsGiveTheZeroResult) {
    expectZeroResult(engine.detectOffset(reference(), std::vector<float>(at(300), 0.0f)));
    expectZeroResult(engine.detectOffset(reference(), test::excerpt(reference(), at(60), 799)));
    expectZeroResult(engine.detectOffset(reference(), {}));
    // A reference shorter than the 30 s segment.
    expectZeroResult(engine.detectOffset(test::excerpt(reference(), 0, at(29.9)),
                                         test::excerpt(reference(), 0, at(60))));
}

TEST_F(OffsetDetection, SilentReferenceScoresMinusTwoAndGradesLow) {
    const std::vector<float> silent(at(300), 0.0f);
    const OffsetResult r = engine.detectOffset(silent, test::excerpt(reference(), 0, at(120)));
    EXPECT_EQ(r.confidence, -2.0);
    EXPECT_EQ(r.confidenceBand, ConfidenceBand::low);
}

TEST_F(OffsetDetection, EnvelopeFormGivesTheSameResult) {
    const auto track =
        concat(test::speechLike(4.2, kRate, 5), test::excerpt(reference(), at(10), at(400)));
    const auto hop = engine.hopSamples();
    const OffsetResult a = engine.detectOffset(reference(), track);
    const OffsetResult b =
        engine.detectOffsetFromEnvelopes(blockRMS(reference(), hop), blockRMS(track, hop));
    EXPECT_EQ(a.offsetSamples, b.offsetSamples);
    EXPECT_EQ(a.offsetSeconds, b.offsetSeconds);
    EXPECT_EQ(a.confidence, b.confidence);
    EXPECT_EQ(a.margin, b.margin);
    EXPECT_EQ(a.confidenceBand, b.confidenceBand);
    EXPECT_EQ(a.crossCheckAgrees, b.crossCheckAgrees);
}

TEST_F(OffsetDetection, StopsAtOnceWhenCancelled) {
    std::stop_source stop;
    stop.request_stop();
    const auto track = test::excerpt(reference(), at(90), at(600));
    expectZeroResult(engine.detectOffset(reference(), track, stop.get_token()));
}
