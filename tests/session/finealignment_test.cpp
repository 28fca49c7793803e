// SPDX-License-Identifier: GPL-3.0-or-later
// The fine stage from files to written output: analysed with the real reader, written with
// the real writer, and the output checked against the reference by plain cross-correlation.
// 16 kHz keeps the suite fast; the stage works in samples, so nothing depends on the rate.
#include "audio/audiooutputwriter.h"
#include "session/itemanalysis.h"
#include "session/reviewwarnings.h"
#include "session/trackanalysis.h"
#include "support/speechgen.h"
#include "support/wavfile.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cmath>
#include <random>

using namespace corvale;

namespace {

constexpr int kRate = 16000;

// Where 3 s of the output from `seconds` sit against the reference, in ms (positive: the
// material belongs later than the output has it), searched ±8 ms sample by sample.
double misplacementMs(const std::vector<float>& output, const std::vector<float>& reference,
                      double seconds) {
    const auto at = std::int64_t(seconds * kRate);
    const std::int64_t span = 3 * kRate;
    const std::int64_t search = kRate / 125;
    double best = -2.0;
    std::int64_t bestShift = 0;
    for (std::int64_t k = -search; k <= search; ++k) {
        double ab = 0.0;
        double aa = 0.0;
        double bb = 0.0;
        for (std::int64_t i = 0; i < span; ++i) {
            const std::int64_t o = at + i;
            const std::int64_t r = at + i + k;
            const double a = o < std::ssize(output) ? output[std::size_t(o)] : 0.0;
            const double b = r >= 0 && r < std::ssize(reference) ? reference[std::size_t(r)] : 0.0;
            ab += a * b;
            aa += a * a;
            bb += b * b;
        }
        const double score = aa > 0 && bb > 0 ? ab / std::sqrt(aa * bb) : -1.0;
        if (score > best) {
            best = score;
            bestShift = k;
        }
    }
    EXPECT_GT(best, 0.5) << "at " << seconds << " s";
    return 1000.0 * double(bestShift) / kRate;
}

class FineStage : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_reference = new std::vector<float>(test::speechLike(1230.0, kRate, 4242));
    }
    static void TearDownTestSuite() {
        delete s_reference;
        s_reference = nullptr;
    }
    void SetUp() override {
        ASSERT_TRUE(m_dir.isValid());
        m_referenceWav = m_dir.filePath(QStringLiteral("ref.wav"));
        ASSERT_TRUE(test::writeWav(m_referenceWav, *s_reference, 1, kRate));
        m_referenceEnvelope = loadReferenceEnvelope(m_engine, m_referenceWav, false, {}).value();
    }

    Result<TrackAnalysisResult> analyze(const std::vector<float>& track, bool fine) {
        const QString wav = m_dir.filePath(QStringLiteral("track.wav"));
        EXPECT_TRUE(test::writeWav(wav, track, 1, kRate));
        return analyzeTrack(m_engine, wav, false, m_referenceEnvelope, {},
                            fine ? std::optional(FineReference{m_referenceWav, false, nullptr})
                                 : std::nullopt);
    }

    // The output as the run writes it for this analysis.
    std::vector<float> write(const TrackAnalysisResult& r) {
        SyncPart part;
        part.inputWAV = m_dir.filePath(QStringLiteral("track.wav"));
        part.offsetSeconds = r.offset.offsetSeconds;
        part.driftPoints = r.drift.points;
        part.quietMap = r.quietMap;
        if (r.fine && r.fine->fit.confident)
            part.clock = r.fine->fit.segments;
        // Outputs never replace a file, so each write takes a name of its own.
        const QString out = m_dir.filePath(QStringLiteral("out%1.wav").arg(++m_written));
        EXPECT_TRUE(bool(AudioOutputWriter().write({part}, out)));
        return test::readWav(out).samples;
    }

    static std::vector<float>* s_reference;
    QTemporaryDir m_dir;
    int m_written = 0;
    SyncEngine m_engine{double(kRate)};
    QString m_referenceWav;
    std::vector<float> m_referenceEnvelope;
};

std::vector<float>* FineStage::s_reference = nullptr;

} // namespace

TEST_F(FineStage, FollowsAClockRunning250PpmFastForTwentyMinutes) {
    // Track sample i holds the reference at 68805 + i * (1 + 250e-6): 0.3 s gained by the
    // end, too little for the coarse analysis to correct.
    const auto source = test::excerpt(*s_reference, 68805, std::int64_t(1206.0 * kRate));
    const auto track = test::resampleByRatio(source, 1.0 + 250e-6);
    auto analysed = analyze(std::vector(track.begin(), track.begin() + 1200 * kRate), true);
    ASSERT_TRUE(bool(analysed));
    const TrackAnalysisResult& r = analysed.value();
    ASSERT_TRUE(r.fine);
    const ClockFit& fit = r.fine->fit;
    EXPECT_TRUE(fit.confident);
    ASSERT_EQ(fit.segments.size(), 1u);
    EXPECT_NEAR(fit.segments[0].lagAtZero, 68805.0, 0.5);
    EXPECT_NEAR(fit.segments[0].slope * 1e6, 250.0, 1.0);
    EXPECT_EQ(fit.windowsAgreeing, fit.windowsMeasured);
    EXPECT_GE(fit.windowsMeasured, 20) << "at least one window a minute";
    EXPECT_LT(fit.residualSamples, 0.5) << "windows measured on the reference's clock";

    const auto output = write(r);
    EXPECT_NEAR(double(output.size()), 68805.0 + 1200.0 * kRate * (1.0 + 250e-6), 2.0);
    for (const double t : {10.0, 600.0, 1190.0})
        EXPECT_LE(std::abs(misplacementMs(output, *s_reference, t + 68805.0 / kRate)), 1.0)
            << "at " << t << " s of the track";

    // The coarse result alone is about 0.3 s off by the end.
    TrackAnalysisResult coarse = r;
    coarse.fine.reset();
    const auto coarseOutput = write(coarse);
    const auto end = std::int64_t((1190.0 + 68805.0 / kRate) * kRate);
    std::vector<float> late(coarseOutput.begin() + end, coarseOutput.begin() + end + 2 * kRate);
    std::vector<float> truth(s_reference->begin() + end, s_reference->begin() + end + 2 * kRate);
    double ab = 0.0, aa = 0.0, bb = 0.0;
    for (std::size_t i = 0; i < late.size(); ++i) {
        ab += late[i] * truth[i];
        aa += late[i] * late[i];
        bb += truth[i] * truth[i];
    }
    EXPECT_LT(ab / std::sqrt(aa * bb), 0.5) << "the coarse output is not in place at its end";
}

TEST_F(FineStage, FollowsATrackAcrossADroppedBlock) {
    // Ten minutes from 30 s into the reference, with 100 ms missing at 300 s.
    auto track = test::excerpt(*s_reference, 30 * kRate, 600 * kRate);
    track.erase(track.begin() + 300 * kRate, track.begin() + 300 * kRate + kRate / 10);
    auto analysed = analyze(track, true);
    ASSERT_TRUE(bool(analysed));
    const TrackAnalysisResult& r = analysed.value();
    ASSERT_TRUE(r.fine);
    const ClockFit& fit = r.fine->fit;
    EXPECT_TRUE(fit.confident);
    ASSERT_EQ(fit.segments.size(), 2u);
    EXPECT_NEAR(double(fit.segments[1].firstTrackSample) / kRate, 300.0, 3.5);
    const double step = fit.segments[1].lagAt(300.0 * kRate) - fit.segments[0].lagAt(300.0 * kRate);
    EXPECT_NEAR(step, kRate / 10.0, 1.0);

    const auto output = write(r);
    for (const double t : {40.0, 320.0, 345.0, 600.0, 625.0})
        EXPECT_LE(std::abs(misplacementMs(output, *s_reference, t)), 1.0) << "at " << t << " s";
}

TEST_F(FineStage, AnUnrelatedRecordingIsFlaggedAndKeepsTheCoarsePath) {
    const auto other = test::speechLike(300.0, kRate, 99);
    auto analysed = analyze(other, true);
    ASSERT_TRUE(bool(analysed));
    const TrackAnalysisResult& r = analysed.value();
    ASSERT_TRUE(r.fine);
    EXPECT_FALSE(r.fine->fit.confident);
    EXPECT_GE(r.fine->fit.windowsMeasured, 6);
    EXPECT_LT(2 * r.fine->fit.windowsAgreeing, r.fine->fit.windowsMeasured);

    ItemAnalysis item;
    item.fine = r.fine;
    EXPECT_FALSE(item.followsFineClock()) << "the writer keeps the coarse path";
    const SyncWarning warning = alignmentNotConfirmedWarning(r.fine->listenAtSeconds);
    EXPECT_EQ(warning.code(), QStringLiteral("ALIGNMENT_NOT_CONFIRMED"));
}

TEST_F(FineStage, WithoutTheStageTheCoarseResultIsUntouched) {
    auto track = test::excerpt(*s_reference, 12345, 300 * kRate);
    auto with = analyze(track, true);
    auto without = analyze(track, false);
    ASSERT_TRUE(bool(with));
    ASSERT_TRUE(bool(without));
    EXPECT_FALSE(without.value().fine);
    EXPECT_EQ(without.value().offset.offsetSamples, with.value().offset.offsetSamples);
    EXPECT_EQ(without.value().offset.confidence, with.value().offset.confidence);
    EXPECT_EQ(without.value().drift.points, with.value().drift.points);
    EXPECT_EQ(*without.value().quietMap, *with.value().quietMap);
    // The coarse placement is on the 0.1 s grid; the fine one to the sample.
    EXPECT_EQ(without.value().offset.offsetSamples % (kRate / 10), 0);
    ASSERT_TRUE(with.value().fine);
    EXPECT_NEAR(with.value().fine->offsetSamples(), 12345.0, 0.5);
}

TEST_F(FineStage, FollowsThreeDroppedBlocksAndAnInsertedOneToTheSample) {
    // Ten minutes from 30 s into the reference. Missing: 80 ms at 130 s, 250 ms at 303 s and
    // 40 ms at 500 s of the reference; 120 ms of silence inserted at 420 s. A faint room noise
    // fills the pauses, as in any real recording, so that every break has one right place.
    std::vector<float> reference = *s_reference;
    std::mt19937 rng(5);
    std::normal_distribution<float> room(0.0f, 1e-3f);
    for (float& v : reference)
        v += room(rng);
    ASSERT_TRUE(test::writeWav(m_referenceWav, reference, 1, kRate));
    m_referenceEnvelope = loadReferenceEnvelope(m_engine, m_referenceWav, false, {}).value();
    const auto at = [](double seconds) { return std::int64_t(seconds * kRate); };
    std::vector<float> track;
    const auto copy = [&](double from, double to) {
        track.insert(track.end(), reference.begin() + at(from), reference.begin() + at(to));
    };
    copy(30.0, 130.0);
    copy(130.08, 303.0);
    copy(303.25, 420.0);
    track.insert(track.end(), std::size_t(at(0.12)), 0.0f);
    copy(420.0, 500.0);
    copy(500.04, 640.0);
    auto analysed = analyze(track, true);
    ASSERT_TRUE(bool(analysed));
    const TrackAnalysisResult& r = analysed.value();
    ASSERT_TRUE(r.fine);
    EXPECT_TRUE(r.fine->fit.confident);
    EXPECT_TRUE(r.fine->disagreeingAtSeconds.empty());
    const auto breaks = r.fine->breaks();
    ASSERT_EQ(breaks.size(), 4u);
    // Track times of the breaks: each earlier drop or insertion moves the later ones.
    const double truth[][2] = {{100.0, 80.0}, {272.92, 250.0}, {389.67, -120.0}, {469.79, 40.0}};
    // To the sample where speech or room noise decides it; a break at the edge of a syllable
    // may move into the quiet next to it by a few ms.
    for (std::size_t k = 0; k < 4; ++k) {
        EXPECT_NEAR(breaks[k].trackSeconds, truth[k][0], 0.02) << "break " << k;
        EXPECT_NEAR(breaks[k].stepMs, truth[k][1], 0.1) << "break " << k;
        EXPECT_NEAR(breaks[k].ppmBefore, 0.0, 2.0);
    }

    const auto output = write(r);
    for (const double t : {60.0, 132.0, 250.0, 305.0, 419.0, 425.0, 498.0, 502.0, 630.0})
        EXPECT_LE(std::abs(misplacementMs(output, reference, t)), 1.0) << "at " << t << " s";
}

TEST_F(FineStage, ARateChangeIsPlacedWhereTheTwoClocksMeet) {
    // +60 ppm for the first 300 s of the track, then −20 ppm, with no step between.
    const auto first =
        test::resampleByRatio(test::excerpt(*s_reference, 20 * kRate, 302 * kRate), 1.0 + 60e-6);
    // The second clock resumes where the first reached, to within a sample.
    const auto resumeAt = std::llround(20.0 * kRate + 300.0 * kRate * (1.0 + 60e-6));
    const auto second =
        test::resampleByRatio(test::excerpt(*s_reference, resumeAt, 300 * kRate), 1.0 - 20e-6);
    std::vector<float> track(first.begin(), first.begin() + 300 * kRate);
    track.insert(track.end(), second.begin(), second.end());
    auto analysed = analyze(track, true);
    ASSERT_TRUE(bool(analysed));
    ASSERT_TRUE(analysed.value().fine);
    const FineAlignment& fine = *analysed.value().fine;
    EXPECT_TRUE(fine.fit.confident);
    const auto breaks = fine.breaks();
    ASSERT_EQ(breaks.size(), 1u);
    EXPECT_NEAR(breaks[0].trackSeconds, 300.0, 4.0) << "not where a window happened to be";
    EXPECT_NEAR(breaks[0].ppmBefore, 60.0, 3.0);
    EXPECT_NEAR(breaks[0].ppmAfter, -20.0, 3.0);
    EXPECT_LT(std::abs(breaks[0].stepMs), 0.2);
    const auto output = write(analysed.value());
    for (const double t : {40.0, 310.0, 590.0})
        EXPECT_LE(std::abs(misplacementMs(output, *s_reference, t + 20.0)), 1.0)
            << "at " << t << " s";
}
