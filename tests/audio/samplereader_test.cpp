// SPDX-License-Identifier: GPL-3.0-or-later
#include "audio/samplereader.h"
#include "support/speechgen.h"
#include "support/wavfile.h"
#include "sync/envelope.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace corvale;

namespace {

class SampleReader : public testing::Test {
protected:
    QString path(const QString& name) const { return m_dir.filePath(name); }

    QString writeMono(const QString& name, const std::vector<float>& samples, int rate) {
        const QString p = path(name);
        EXPECT_TRUE(test::writeWav(p, samples, 1, rate));
        return p;
    }
    QString writeStereo(const QString& name, const std::vector<float>& left,
                        const std::vector<float>& right, int rate) {
        const QString p = path(name);
        EXPECT_TRUE(test::writeWav(p, test::interleave(left, right), 2, rate));
        return p;
    }

    QTemporaryDir m_dir;
};

// The 16-bit values the WAV holds, as floats.
std::vector<float> channelOf(const test::WavContents& wav, int channel) {
    std::vector<float> out;
    for (std::size_t i = static_cast<std::size_t>(channel); i < wav.samples.size();
         i += static_cast<std::size_t>(wav.channels))
        out.push_back(wav.samples[i]);
    return out;
}

std::vector<float> silenceOutside(std::vector<float> v, std::size_t from, std::size_t to) {
    for (std::size_t i = 0; i < v.size(); ++i) {
        if (i < from || i >= to)
            v[i] = 0.0f;
    }
    return v;
}

} // namespace

TEST_F(SampleReader, ReadsSixteenBitValuesAsValueOver32768) {
    const std::vector<float> values{-1.0f,        -1.0f / 32768,    0.0f,
                                    1.0f / 32768, 12345.0f / 32768, 32767.0f / 32768};
    const QString p = writeMono("exact.wav", values, 8000);
    const auto loaded = loadSamples(SyncEngine(8000), p, 0);
    ASSERT_TRUE(loaded.ok());
    EXPECT_EQ(loaded.value(), values);
}

TEST_F(SampleReader, ReadsAcrossChunksExactlyAsTheLibrarysFloatRead) {
    // 25.37 s at 8 kHz: two whole 10 s chunks and a partial one.
    const QString p = writeMono("speech.wav", test::speechLike(25.37, 8000, 4), 8000);
    const auto loaded = loadSamples(SyncEngine(8000), p, 0);
    ASSERT_TRUE(loaded.ok());
    EXPECT_EQ(loaded.value(), test::readWav(p).samples);
    EXPECT_EQ(loaded.value().size(), 202960u);
}

TEST_F(SampleReader, ChannelBeyondTheLastReadsTheLast) {
    const auto left = test::speechLike(12, 8000, 1);
    const auto right = test::speechLike(12, 8000, 2);
    const QString p = writeStereo("stereo.wav", left, right, 8000);
    const auto wav = test::readWav(p);
    const SyncEngine engine(8000);
    const auto first = loadSamples(engine, p, 0);
    const auto second = loadSamples(engine, p, 1);
    const auto fifth = loadSamples(engine, p, 5);
    ASSERT_TRUE(first.ok() && second.ok() && fifth.ok());
    EXPECT_EQ(first.value(), channelOf(wav, 0));
    EXPECT_EQ(second.value(), channelOf(wav, 1));
    EXPECT_EQ(fifth.value(), second.value());
}

TEST_F(SampleReader, TruncatedFileYieldsTheFramesItHolds) {
    const auto samples = test::speechLike(15, 8000, 6);
    const QString p = writeMono("cut.wav", samples, 8000);
    const auto full = test::readWav(p).samples;
    QFile file(p);
    ASSERT_TRUE(file.resize(file.size() - 2 * 30001)); // the header still promises 15 s
    const auto loaded = loadSamples(SyncEngine(8000), p, 0);
    ASSERT_TRUE(loaded.ok());
    ASSERT_EQ(loaded.value().size(), full.size() - 30001);
    EXPECT_TRUE(std::equal(loaded.value().begin(), loaded.value().end(), full.begin()));
    const auto envelope = loadEnvelope(SyncEngine(8000), p, 0);
    ASSERT_TRUE(envelope.ok());
    EXPECT_EQ(envelope.value().frameCount, static_cast<std::int64_t>(full.size() - 30001));
}

TEST_F(SampleReader, EmptyWavHasNoAudioData) {
    const QString p = writeMono("empty.wav", {}, 8000);
    const auto loaded = loadSamples(SyncEngine(8000), p, 0);
    ASSERT_FALSE(loaded.ok());
    EXPECT_EQ(loaded.error().kind(), CorvaleError::Kind::noAudioData);
    EXPECT_EQ(loaded.error().errorDescription(), QStringLiteral("File contains no audio data"));
    EXPECT_EQ(loadEnvelope(SyncEngine(8000), p, 0).error().kind(), CorvaleError::Kind::noAudioData);
}

TEST_F(SampleReader, UnreadableFilesGiveTheLibrarysMessage) {
    QFile text(path("notes.wav"));
    ASSERT_TRUE(text.open(QIODevice::WriteOnly));
    text.write("These are meeting notes, not audio. They go on for a while to fill a header.\n");
    text.close();
    QFile(path("zero.wav")).open(QIODevice::WriteOnly);

    const SyncEngine engine(8000);
    for (const QString& name :
         {QStringLiteral("notes.wav"), QStringLiteral("zero.wav"), QStringLiteral("missing.wav")}) {
        const auto loaded = loadSamples(engine, path(name), 0);
        ASSERT_FALSE(loaded.ok()) << name.toStdString();
        EXPECT_EQ(loaded.error().kind(), CorvaleError::Kind::passedOn);
        EXPECT_FALSE(loaded.error().errorDescription().isEmpty());
        EXPECT_EQ(loadEnvelope(engine, path(name), 0).error().kind(), CorvaleError::Kind::passedOn);
        EXPECT_EQ(analyzeStereo(engine, path(name)).error().kind(), CorvaleError::Kind::passedOn);
    }
    EXPECT_TRUE(loadSamples(engine, path("missing.wav"), 0)
                    .error()
                    .errorDescription()
                    .contains(QStringLiteral("No such file")));
}

TEST_F(SampleReader, PathsWithBlanksQuotesAndAccentsAreRead) {
    const auto samples = test::speechLike(2, 8000, 8);
    const QString p = writeMono(QStringLiteral("Zoë's \"take\" – Ünïcødé ß 音.wav"), samples, 8000);
    const auto loaded = loadSamples(SyncEngine(8000), p, 0);
    ASSERT_TRUE(loaded.ok()) << loaded.error().errorDescription().toStdString();
    EXPECT_EQ(loaded.value().size(), samples.size());
    EXPECT_TRUE(loadEnvelope(SyncEngine(8000), p, 0).ok());
    EXPECT_TRUE(analyzeStereo(SyncEngine(8000), p).ok());
}

TEST_F(SampleReader, CancelledReadingStopsWithTheCancellationError) {
    const QString p = writeMono("long.wav", test::speechLike(30, 8000, 9), 8000);
    std::stop_source stop;
    stop.request_stop();
    const SyncEngine engine(8000);
    const auto loaded = loadSamples(engine, p, 0, stop.get_token());
    ASSERT_FALSE(loaded.ok());
    EXPECT_TRUE(loaded.error().isCancellation());
    EXPECT_TRUE(loadEnvelope(engine, p, 0, stop.get_token()).error().isCancellation());
    EXPECT_TRUE(loadEnvelopeOfSum(engine, p, stop.get_token()).error().isCancellation());
}

TEST_F(SampleReader, EnvelopeWhileReadingMatchesTheEnvelopeOfTheSamples) {
    // 11025 Hz: a 110250-frame chunk is not a whole number of 1102-sample blocks.
    for (const int rate : {44100, 48000, 22050, 11025, 8000}) {
        const QString p = writeMono(QStringLiteral("rate%1.wav").arg(rate),
                                    test::speechLike(25.37, rate, 10), rate);
        const SyncEngine engine(rate);
        const auto samples = loadSamples(engine, p, 0);
        const auto envelope = loadEnvelope(engine, p, 0);
        ASSERT_TRUE(samples.ok() && envelope.ok());
        EXPECT_EQ(envelope.value().envelope, blockRMS(samples.value(), engine.hopSamples()))
            << rate;
        EXPECT_EQ(envelope.value().frameCount, static_cast<std::int64_t>(samples.value().size()));
    }
}

TEST_F(SampleReader, EnvelopeOfAStereoChannelAndOfTheSum) {
    const auto left = test::speechLike(21.3, 11025, 11);
    const auto right = test::speechLike(21.3, 11025, 12);
    const QString p = writeStereo("pair.wav", left, right, 11025);
    const SyncEngine engine(11025);
    const auto l = loadSamples(engine, p, 0);
    const auto r = loadSamples(engine, p, 1);
    ASSERT_TRUE(l.ok() && r.ok());
    const auto hop = engine.hopSamples();

    const auto second = loadEnvelope(engine, p, 7);
    ASSERT_TRUE(second.ok());
    EXPECT_EQ(second.value().envelope, blockRMS(r.value(), hop));

    std::vector<float> mix(l.value().size());
    for (std::size_t i = 0; i < mix.size(); ++i)
        mix[i] = (l.value()[i] + r.value()[i]) * 0.5f;
    const auto sum = loadEnvelopeOfSum(engine, p);
    ASSERT_TRUE(sum.ok());
    EXPECT_EQ(sum.value().envelope, blockRMS(mix, hop));
    EXPECT_EQ(sum.value().frameCount, static_cast<std::int64_t>(mix.size()));

    // A one-channel file is its own sum.
    const QString mono = writeMono("mono.wav", left, 11025);
    const auto monoSum = loadEnvelopeOfSum(engine, mono);
    const auto monoSamples = loadSamples(engine, mono, 0);
    ASSERT_TRUE(monoSum.ok() && monoSamples.ok());
    EXPECT_EQ(monoSum.value().envelope, blockRMS(monoSamples.value(), hop));
}

TEST_F(SampleReader, StereoCheckOfOneChannelFileIsMono) {
    const QString p = writeMono("mono.wav", test::speechLike(5, 8000, 13), 8000);
    const auto verdict = analyzeStereo(SyncEngine(8000), p);
    ASSERT_TRUE(verdict.ok());
    EXPECT_EQ(verdict.value(), StereoAnalysis::monoOrIdentical());
}

TEST_F(SampleReader, StereoCheckReadsThirtySecondsFromTheMiddle) {
    // 70 s: the window is 20 s ... 50 s. Left speaks only there, right only outside it.
    const auto a = test::speechLike(70, 8000, 14);
    const auto b = test::speechLike(70, 8000, 15);
    const std::vector<float> left = silenceOutside(a, 20 * 8000, 50 * 8000);
    std::vector<float> right = b;
    for (std::size_t i = 20 * 8000; i < 50 * 8000; ++i)
        right[i] = 0.0f;
    const auto verdict =
        analyzeStereo(SyncEngine(8000), writeStereo("long.wav", left, right, 8000));
    ASSERT_TRUE(verdict.ok());
    EXPECT_EQ(verdict.value(), StereoAnalysis::singleChannelOf(0));
}

TEST_F(SampleReader, StereoCheckOfAShortFileStartsAtItsFirstFrame) {
    // 10 s with the right channel speaking only in its first two seconds.
    const std::vector<float> silence(80000, 0.0f);
    const auto right = silenceOutside(test::speechLike(10, 8000, 16), 0, 16000);
    const auto verdict =
        analyzeStereo(SyncEngine(8000), writeStereo("short.wav", silence, right, 8000));
    ASSERT_TRUE(verdict.ok());
    EXPECT_EQ(verdict.value(), StereoAnalysis::singleChannelOf(1));
}

TEST_F(SampleReader, StereoCheckTellsTwoVoicesFromOne) {
    const auto a = test::speechLike(40, 8000, 17);
    const auto b = test::speechLike(40, 8000, 18);
    const SyncEngine engine(8000);
    const auto two = analyzeStereo(engine, writeStereo("two.wav", a, b, 8000));
    const auto one = analyzeStereo(engine, writeStereo("one.wav", a, a, 8000));
    ASSERT_TRUE(two.ok() && one.ok());
    EXPECT_EQ(two.value(), StereoAnalysis::split());
    EXPECT_EQ(one.value(), StereoAnalysis::monoOrIdentical());
}
