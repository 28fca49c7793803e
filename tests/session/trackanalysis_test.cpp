// SPDX-License-Identifier: GPL-3.0-or-later
#include "audio/audiooutputwriter.h"
#include "audio/samplereader.h"
#include "demo/speechgen.h"
#include "session/trackanalysis.h"
#include "support/wavfile.h"
#include "sync/envelope.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cmath>
#include <random>

using namespace corvale;

namespace {

void expectSameOffset(const OffsetResult& a, const OffsetResult& b) {
    EXPECT_EQ(a.offsetSamples, b.offsetSamples);
    EXPECT_EQ(a.confidence, b.confidence);
    EXPECT_EQ(a.margin, b.margin);
    EXPECT_EQ(a.confidenceBand, b.confidenceBand);
    EXPECT_EQ(a.crossCheckAgrees, b.crossCheckAgrees);
}

} // namespace

// The run reads files into envelopes as it goes; its results must be those of the analysis
// over whole sample lists.
TEST(TrackAnalysis, EnvelopePathGivesTheSampleListResults) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const double rate = 8000;
    const auto voices = demo::conversation(2, 1200, rate, 5);
    const auto reference = demo::mix(voices, 0.7f);
    // A stereo track: the guest on the right only, starting 20 s late, drifting.
    const auto guest = demo::resampleByRatio(
        demo::excerpt(voices[1], std::int64_t(20 * rate), std::int64_t(1150 * rate)),
        1.0 + 1.0 / 1150.0);
    const std::vector<float> silence(guest.size(), 0.0f);
    const QString refPath = dir.filePath("ref.wav");
    const QString trackPath = dir.filePath("track.wav");
    ASSERT_TRUE(test::writeWav(refPath, reference, 1, int(rate)));
    ASSERT_TRUE(test::writeWav(trackPath, demo::interleave(silence, guest), 2, int(rate)));

    const SyncEngine engine(rate);
    auto envelope = loadReferenceEnvelope(engine, refPath, false, {});
    ASSERT_TRUE(envelope.ok());
    auto viaEnvelopes = analyzeTrack(engine, trackPath, true, envelope.value(), {});
    ASSERT_TRUE(viaEnvelopes.ok());

    auto refSamples = loadSamples(engine, refPath, 0);
    auto stereo = analyzeStereo(engine, trackPath);
    ASSERT_TRUE(refSamples.ok() && stereo.ok());
    EXPECT_EQ(stereo.value(), StereoAnalysis::singleChannelOf(1));
    auto trackSamples = loadSamples(engine, trackPath, stereo.value().analysisChannel());
    ASSERT_TRUE(trackSamples.ok());
    const OffsetResult offset = engine.detectOffset(refSamples.value(), trackSamples.value());
    const DriftAnalysis drift =
        engine.analyzeDrift(refSamples.value(), trackSamples.value(), offset.offsetSamples);

    const TrackAnalysisResult& r = viaEnvelopes.value();
    EXPECT_EQ(r.stereo, stereo.value());
    EXPECT_EQ(r.frameCount, std::int64_t(trackSamples.value().size()));
    expectSameOffset(r.offset, withStartCorrection(engine, offset, drift));
    EXPECT_EQ(r.drift.points, drift.points);
    EXPECT_EQ(r.drift.driftApplied, drift.driftApplied);
    EXPECT_EQ(r.drift.startCorrectionSamples, drift.startCorrectionSamples);
    EXPECT_EQ(r.drift.longestUnanchoredSpanSeconds, drift.longestUnanchoredSpanSeconds);
    EXPECT_EQ(r.drift.alignedDurationSeconds, drift.alignedDurationSeconds);
    EXPECT_TRUE(drift.driftApplied); // the case exercises the drift path, not only the offset
    EXPECT_NEAR(r.offset.offsetSeconds, 20.0, 0.1);

    // The quiet map made on the way is the one the writer would make of the analysed side.
    const auto writersMap = AudioOutputWriter().quietMap(trackPath, 1);
    ASSERT_TRUE(writersMap.ok());
    ASSERT_TRUE(r.quietMap);
    EXPECT_EQ(*r.quietMap, writersMap.value());
    EXPECT_NE(std::count(r.quietMap->begin(), r.quietMap->end(), true), 0);
    EXPECT_NE(std::count(r.quietMap->begin(), r.quietMap->end(), false), 0);
}

TEST(TrackAnalysis, StereoReferenceWithOneSilentSideIsReadFromTheOther) {
    QTemporaryDir dir;
    const double rate = 8000;
    const auto voice = demo::speechLike(120, rate, 3);
    const std::vector<float> silence(voice.size(), 0.0f);
    const QString path = dir.filePath("ref.wav");
    ASSERT_TRUE(test::writeWav(path, demo::interleave(silence, voice), 2, int(rate)));
    const SyncEngine engine(rate);
    auto envelope = loadReferenceEnvelope(engine, path, true, {});
    ASSERT_TRUE(envelope.ok());
    auto right = loadSamples(engine, path, 1);
    ASSERT_TRUE(right.ok());
    EXPECT_EQ(envelope.value(), blockRMS(right.value(), engine.hopSamples()));
}

namespace {

// A mono reference and clip written into dir, the clip analysed against the whole reference.
Result<TrackAnalysisResult> analyzeClip(const QTemporaryDir& dir,
                                        const std::vector<float>& reference,
                                        const std::vector<float>& clip, double rate) {
    const QString refPath = dir.filePath("ref.wav");
    const QString clipPath = dir.filePath("clip.wav");
    if (!test::writeWav(refPath, reference, 1, int(rate)) ||
        !test::writeWav(clipPath, clip, 1, int(rate)))
        return CorvaleError::cannotWriteAudio(QStringLiteral("test input"));
    const SyncEngine engine(rate);
    const auto envelope = loadReferenceEnvelope(engine, refPath, false, {});
    if (!envelope)
        return envelope.error();
    return analyzeTrack(engine, clipPath, false, envelope.value(), {},
                        FineReference{refPath, false, nullptr});
}

} // namespace

// A clip from a recorder whose clock runs 1500 ppm fast smears the whole-reference search's
// peak; the clock the fine stage measured puts the searched seconds back on the reference's.
TEST(TrackAnalysis, TheWaveformSearchFollowsAFastClockTheFineStageMeasured) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const double rate = 16000;
    const auto reference = demo::mix(demo::conversation(3, 600, rate, 8, 0), 0.6f);
    const auto clip = demo::resampleByRatio(
        demo::excerpt(reference, std::int64_t(321.5 * rate), std::int64_t(21 * rate)),
        1.0 + 1500e-6);
    const auto r = analyzeClip(dir, reference, clip, rate);
    ASSERT_TRUE(bool(r));
    ASSERT_TRUE(r.value().placement && r.value().placement->match);
    EXPECT_EQ(r.value().placement->verdict, WaveformPlacement::Verdict::confirmed);
    EXPECT_GT(r.value().placement->match->margin(), 5.0);
    ASSERT_TRUE(r.value().fine && r.value().fine->fit.confident);
    EXPECT_NEAR(r.value().fine->offsetSamples(), 321.5 * rate, 0.002 * rate);
}

// A clip the reference holds twice, once as recorded and once under noise (as a far-off
// microphone would hear it): the best place stands only 1.4 times above the other, which is
// no place for the search to vouch for.
TEST(TrackAnalysis, TheSearchPlacesNothingThatDoesNotStandTwiceAboveTheRest) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const double rate = 16000;
    auto reference = demo::mix(demo::conversation(3, 600, rate, 8, 0), 0.6f);
    const auto clip = demo::excerpt(reference, std::int64_t(321.5 * rate), std::int64_t(21 * rate));
    double power = 0.0;
    for (const float x : clip)
        power += double(x) * x;
    const auto noiseRms = float(1.2 * std::sqrt(power / double(clip.size())));
    std::mt19937 random(3);
    std::normal_distribution<float> noise(0.0f, noiseRms);
    const auto at = std::size_t(100 * rate);
    for (std::size_t i = 0; i < clip.size(); ++i)
        reference[at + i] = clip[i] + noise(random);
    const auto r = analyzeClip(dir, reference, clip, rate);
    ASSERT_TRUE(bool(r));
    ASSERT_TRUE(r.value().placement && r.value().placement->match);
    EXPECT_GT(r.value().placement->match->margin(), 1.2);
    EXPECT_LT(r.value().placement->match->margin(), 1.6);
    EXPECT_EQ(r.value().placement->verdict, WaveformPlacement::Verdict::notPlaced);
}

// One read of the reference gives the envelope and the search's decimated copy, each exactly
// as its own read would (a stereo reference leaves the copy to the search, which mixes its own).
TEST(TrackAnalysis, OneReadPreparesTheEnvelopeAndTheSearchCopy) {
    QTemporaryDir dir;
    const double rate = 48000;
    const auto voice = demo::speechLike(95, rate, 4);
    const QString mono = dir.filePath("mono.wav");
    const QString stereo = dir.filePath("stereo.wav");
    ASSERT_TRUE(test::writeWav(mono, voice, 1, int(rate)));
    ASSERT_TRUE(test::writeWav(stereo, demo::interleave(voice, voice), 2, int(rate)));
    const SyncEngine engine(rate);

    auto prepared = prepareReference(engine, mono, false, true, {});
    ASSERT_TRUE(prepared.ok());
    EXPECT_EQ(prepared.value().envelope, loadReferenceEnvelope(engine, mono, false, {}).value());
    ASSERT_TRUE(prepared.value().search);
    WaveformReference lazy(mono, false);
    auto own = lazy.get(engine, {});
    ASSERT_TRUE(own.ok());
    EXPECT_EQ(prepared.value().search->samples, own.value()->samples);
    EXPECT_EQ(prepared.value().search->factor, own.value()->factor);
    EXPECT_GT(own.value()->samples.size(), 0u);

    auto fromStereo = prepareReference(engine, stereo, true, true, {});
    ASSERT_TRUE(fromStereo.ok());
    EXPECT_FALSE(fromStereo.value().search);
    EXPECT_EQ(fromStereo.value().envelope, loadReferenceEnvelope(engine, stereo, true, {}).value());
    EXPECT_FALSE(prepareReference(engine, mono, false, false, {}).value().search);
}
