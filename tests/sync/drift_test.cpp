// SPDX-License-Identifier: GPL-3.0-or-later
// Drift analysis on hour-long generated speech. The hour-long cases run at 4 kHz (hop 400):
// the engine works in 0.1 s envelope frames, so the behaviour is that of 44.1 or 48 kHz while
// the test stays fast.
#include "support/speechgen.h"
#include "sync/envelope.h"
#include "sync/syncengine.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace corvale;

namespace {

constexpr double kRate = 4000;
constexpr std::int64_t kHop = 400;

std::int64_t at(double seconds) {
    return static_cast<std::int64_t>(std::llround(seconds * kRate));
}

// A recording of the world's sound that began at worldStart seconds and lasts `seconds` by its
// own clock, which runs so that it drifts by driftPerHour seconds per hour of recording.
struct DriftingTrack {
    std::vector<float> samples;
    double ratio = 1.0; // world seconds per track second
};

DriftingTrack record(const std::vector<float>& world, double worldStart, double seconds,
                     double driftPerHour) {
    DriftingTrack t;
    t.ratio = 1.0 + driftPerHour / 3600.0;
    const auto span = test::excerpt(world, at(worldStart), at(seconds * t.ratio) + 2);
    t.samples = test::resampleByRatio(span, t.ratio);
    t.samples.resize(static_cast<std::size_t>(at(seconds)));
    return t;
}

std::int64_t frames(const std::vector<float>& samples) {
    return static_cast<std::int64_t>(samples.size()) / kHop;
}

// The reference is the world from 100 s on; tracks start relative to it.
class DriftAnalysisTest : public testing::Test {
protected:
    static constexpr double kReferenceStart = 100;

    static void SetUpTestSuite() {
        s_world = new std::vector<float>(test::speechLike(3800, kRate, 21));
        s_reference =
            new std::vector<float>(test::excerpt(*s_world, at(kReferenceStart), at(3700)));
        s_referenceEnvelope = new std::vector<float>(blockRMS(*s_reference, kHop));
    }
    static void TearDownTestSuite() {
        delete s_world;
        delete s_reference;
        delete s_referenceEnvelope;
        s_world = s_reference = s_referenceEnvelope = nullptr;
    }
    static const std::vector<float>& world() { return *s_world; }
    static const std::vector<float>& reference() { return *s_reference; }
    static const std::vector<float>& referenceEnvelope() { return *s_referenceEnvelope; }

    // Offset detection, then drift analysis, for a track that starts `start` seconds after the
    // reference (negative: before it) and drifts by driftPerHour. The envelope forms save
    // recomputing the reference's envelope; EnvelopeFormGivesTheSameResult ties them to the
    // sample-list forms.
    void analyze(double start, double driftPerHour) {
        m_track = record(world(), kReferenceStart + start, 3600, driftPerHour);
        m_trackEnvelope = blockRMS(m_track.samples, kHop);
        m_offset = m_engine.detectOffsetFromEnvelopes(referenceEnvelope(), m_trackEnvelope);
        m_drift = m_engine.analyzeDriftFromEnvelopes(referenceEnvelope(), m_trackEnvelope,
                                                     m_offset.offsetSamples);
    }

    // The drift the track really has at a point's time (counted from its first frame that
    // overlaps the reference, `skipped` seconds into the track).
    [[nodiscard]] double trueDrift(double pointTime, double skipped) const {
        return (pointTime + skipped) * (m_track.ratio - 1.0);
    }

    void expectCorrected(double start, double driftPerHour) {
        ASSERT_TRUE(m_drift.driftApplied);
        const double corrected =
            static_cast<double>(m_offset.offsetSamples + m_drift.startCorrectionSamples) / kRate;
        EXPECT_NEAR(corrected, start, 0.1);
        EXPECT_EQ(m_drift.startCorrectionSamples % kHop, 0);
        ASSERT_GE(m_drift.points.size(), 3u);
        EXPECT_EQ(m_drift.points.front(), DriftPoint{});
        const double skipped = std::max(-corrected, 0.0);
        for (const DriftPoint& p : m_drift.points)
            EXPECT_NEAR(p.driftSeconds, trueDrift(p.timeSeconds, skipped), 0.1) << p.timeSeconds;
        const DriftPoint& last = m_drift.points.back();
        EXPECT_GT(last.timeSeconds, 3000);
        EXPECT_NEAR(last.driftSeconds, trueDrift(last.timeSeconds, skipped), 0.1);
        EXPECT_NEAR(last.driftSeconds, driftPerHour * last.timeSeconds / 3600, 0.1);
        EXPECT_GT(m_drift.longestUnanchoredSpanSeconds, 0);
        EXPECT_LT(m_drift.longestUnanchoredSpanSeconds, 900);

        // The aligned region is the one the corrected offset gives.
        const std::int64_t lag = (m_offset.offsetSamples + m_drift.startCorrectionSamples) / kHop;
        const std::int64_t T = frames(m_track.samples), R = frames(reference());
        const std::int64_t overlap =
            std::min(T - std::max<std::int64_t>(-lag, 0), R - std::max<std::int64_t>(lag, 0));
        EXPECT_EQ(m_drift.alignedDurationSeconds, double(overlap * kHop) / kRate);
    }

    SyncEngine m_engine{kRate};
    DriftingTrack m_track;
    std::vector<float> m_trackEnvelope;
    OffsetResult m_offset;
    DriftAnalysis m_drift;

    static inline std::vector<float>* s_world = nullptr;
    static inline std::vector<float>* s_reference = nullptr;
    static inline std::vector<float>* s_referenceEnvelope = nullptr;
};

// Short inputs: ten minutes of reference are plenty.
class DriftAnalysisEdges : public testing::Test {
protected:
    static void SetUpTestSuite() {
        s_reference = new std::vector<float>(test::speechLike(600, kRate, 22));
    }
    static void TearDownTestSuite() {
        delete s_reference;
        s_reference = nullptr;
    }
    static const std::vector<float>& reference() { return *s_reference; }

    SyncEngine m_engine{kRate};
    static inline std::vector<float>* s_reference = nullptr;
};

} // namespace

TEST_F(DriftAnalysisTest, GainingSevenTenthsOfASecondAnHourIsCorrectedFromTheTrueStart) {
    analyze(40.0, 0.7);
    expectCorrected(40.0, 0.7);
}

TEST_F(DriftAnalysisTest, LosingSevenTenthsOfASecondIsCorrectedForATrackThatBeganEarlier) {
    analyze(-20.0, -0.7);
    EXPECT_LT(m_offset.offsetSamples, 0);
    expectCorrected(-20.0, -0.7);
}

TEST_F(DriftAnalysisTest, ASecondAndAHalfIsMeasuredWholeNotHalved) {
    analyze(33.3, 1.5);
    expectCorrected(33.3, 1.5);
    // The corrected points are the analysis made around the corrected start, which itself
    // needs no further move.
    const DriftAnalysis again =
        m_engine.analyzeDriftFromEnvelopes(referenceEnvelope(), m_trackEnvelope,
                                           m_offset.offsetSamples + m_drift.startCorrectionSamples);
    EXPECT_EQ(again.points, m_drift.points);
    EXPECT_EQ(again.startCorrectionSamples, 0);
    EXPECT_EQ(again.alignedDurationSeconds, m_drift.alignedDurationSeconds);
}

TEST_F(DriftAnalysisTest, ThreeTenthsOfASecondIsLeftUncorrectedAroundTheMeanOffset) {
    analyze(40.0, 0.3);
    EXPECT_FALSE(m_drift.driftApplied);
    EXPECT_EQ(m_drift.points, std::vector<DriftPoint>{DriftPoint{}});
    EXPECT_EQ(m_drift.startCorrectionSamples, 0);
    EXPECT_EQ(m_drift.longestUnanchoredSpanSeconds, 0.0);
    EXPECT_NEAR(m_offset.offsetSeconds, 40.15, 0.11); // the mean of lags along the track
    const std::int64_t lag = m_offset.offsetSamples / kHop;
    const std::int64_t overlap =
        std::min(frames(m_track.samples), frames(reference()) - std::max<std::int64_t>(lag, 0));
    EXPECT_EQ(m_drift.alignedDurationSeconds, double(overlap * kHop) / kRate);
}

TEST_F(DriftAnalysisTest, ATrackThatDoesNotDriftKeepsItsOffsetAndOneAnchor) {
    const auto trackEnvelope = blockRMS(test::excerpt(reference(), at(250), at(3300)), kHop);
    const OffsetResult offset =
        m_engine.detectOffsetFromEnvelopes(referenceEnvelope(), trackEnvelope);
    EXPECT_EQ(offset.offsetSeconds, 250.0);
    const DriftAnalysis drift = m_engine.analyzeDriftFromEnvelopes(
        referenceEnvelope(), trackEnvelope, offset.offsetSamples);
    EXPECT_FALSE(drift.driftApplied);
    EXPECT_EQ(drift.points, std::vector<DriftPoint>{DriftPoint{}});
    EXPECT_EQ(drift.startCorrectionSamples, 0);
    EXPECT_EQ(drift.alignedDurationSeconds, 3300.0);
}

TEST_F(DriftAnalysisTest, EnvelopeFormGivesTheSameResult) {
    m_track = record(world(), kReferenceStart + 12.0, 900, 4.0);
    const auto hop = m_engine.hopSamples();
    const auto refEnv = blockRMS(reference(), hop);
    const auto trackEnv = blockRMS(m_track.samples, hop);
    const OffsetResult offset = m_engine.detectOffsetFromEnvelopes(refEnv, trackEnv);
    const DriftAnalysis a =
        m_engine.analyzeDrift(reference(), m_track.samples, offset.offsetSamples);
    const DriftAnalysis b =
        m_engine.analyzeDriftFromEnvelopes(refEnv, trackEnv, offset.offsetSamples);
    EXPECT_TRUE(a.driftApplied);
    EXPECT_EQ(a.points, b.points);
    EXPECT_EQ(a.driftApplied, b.driftApplied);
    EXPECT_EQ(a.longestUnanchoredSpanSeconds, b.longestUnanchoredSpanSeconds);
    EXPECT_EQ(a.alignedDurationSeconds, b.alignedDurationSeconds);
    EXPECT_EQ(a.startCorrectionSamples, b.startCorrectionSamples);
}

TEST_F(DriftAnalysisEdges, ShortOverlapGivesOneAnchorAndTheAlignedDuration) {
    // The track's last 25 s overlap the reference's first 25 s.
    const auto track = test::excerpt(reference(), -at(75), at(100));
    const DriftAnalysis drift = m_engine.analyzeDrift(reference(), track, -at(75));
    EXPECT_EQ(drift.points, std::vector<DriftPoint>{DriftPoint{}});
    EXPECT_FALSE(drift.driftApplied);
    EXPECT_EQ(drift.longestUnanchoredSpanSeconds, 0.0);
    EXPECT_EQ(drift.alignedDurationSeconds, 25.0);
}

TEST_F(DriftAnalysisEdges, EmptyOrTooShortTracksGiveNoPoints) {
    for (const std::int64_t n : {std::int64_t{0}, kHop - 1}) {
        const DriftAnalysis drift =
            m_engine.analyzeDrift(reference(), test::excerpt(reference(), 0, n), 0);
        EXPECT_TRUE(drift.points.empty());
        EXPECT_FALSE(drift.driftApplied);
        EXPECT_EQ(drift.alignedDurationSeconds, 0.0);
        EXPECT_EQ(drift.longestUnanchoredSpanSeconds, 0.0);
    }
}

TEST_F(DriftAnalysisEdges, ATrackPlacedBeyondTheReferenceHasNoNegativeOverlap) {
    const auto track = test::excerpt(reference(), 0, at(120));
    const DriftAnalysis drift = m_engine.analyzeDrift(reference(), track, at(700));
    EXPECT_EQ(drift.alignedDurationSeconds, 0.0);
    EXPECT_FALSE(drift.driftApplied);
}

TEST_F(DriftAnalysisEdges, CancelledAnalysisMeasuresNothing) {
    // Gains a second over 500 s: measured, that is a drift to correct.
    const auto track = test::resampleByRatio(test::excerpt(reference(), at(12), at(502)), 1.002);
    ASSERT_TRUE(m_engine.analyzeDrift(reference(), track, at(12.5)).driftApplied);
    std::stop_source stop;
    stop.request_stop();
    const DriftAnalysis drift =
        m_engine.analyzeDrift(reference(), track, at(12.5), stop.get_token());
    EXPECT_EQ(drift.points, std::vector<DriftPoint>{DriftPoint{}});
    EXPECT_FALSE(drift.driftApplied);
    EXPECT_EQ(drift.startCorrectionSamples, 0);
}
