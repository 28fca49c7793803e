// SPDX-License-Identifier: GPL-3.0-or-later
#include "audio/audioconverter.h"

#include "support/speechgen.h"
#include "support/testenv.h"
#include "support/wavfile.h"

#include <QDir>
#include <QFile>
#include <QObject>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cmath>
#include <optional>

using namespace corvale;
using namespace corvale::test;

namespace {

constexpr int rate = 48000;
constexpr double seconds = 2.0;

double rms(std::span<const float> samples) {
    double sum = 0.0;
    for (const float s : samples)
        sum += double(s) * s;
    return samples.empty() ? 0.0 : std::sqrt(sum / double(samples.size()));
}

std::vector<float> channel(const WavContents& wav, int index) {
    std::vector<float> out;
    for (long long f = 0; f < wav.frames; ++f)
        out.push_back(wav.samples[std::size_t(f * wav.channels + index)]);
    return out;
}

double maxDifference(std::span<const float> a, std::span<const float> b) {
    double worst = 0.0;
    for (std::size_t i = 0; i < std::min(a.size(), b.size()); ++i)
        worst = std::max(worst, double(std::abs(a[i] - b[i])));
    return worst;
}

bool runFFmpeg(const QStringList& args) {
    QProcess p;
    p.setStandardInputFile(QProcess::nullDevice());
    p.start(realFFmpeg(), QStringList{"-y", "-loglevel", "error"} + args);
    return p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

class AudioConverterTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_dir.isValid());
        QDir(m_dir.path()).mkdir("out");
        m_left = speechLike(seconds, rate, 11);
        m_right = speechLike(seconds, rate, 22, 0.3f);
        m_stereoWav = m_dir.filePath("Interview.wav");
        ASSERT_TRUE(writeWav(m_stereoWav, interleave(m_left, m_right), 2, rate));
    }

    Result<QString> convert(const QString& input, bool stereo, double sampleRate = rate,
                            const QString& suffix = "_ref", std::stop_token stop = {},
                            const QString& tool = realFFmpeg()) {
        std::optional<Result<QString>> result;
        AudioConverter(tool).convertToWAV({input, outDir(), suffix, stereo, sampleRate},
                                          std::move(stop), &m_context,
                                          [&result](Result<QString> r) { result = std::move(r); });
        if (!waitUntil([&] { return result.has_value(); }, 60000))
            return CorvaleError::syncFailed("test timed out");
        return *result;
    }

    QString outDir() const { return m_dir.filePath("out"); }
    QString fake(const QString& script) { return makeFakeTool(m_dir.path(), "fakeffmpeg", script); }

    QTemporaryDir m_dir;
    QObject m_context;
    std::vector<float> m_left;
    std::vector<float> m_right;
    QString m_stereoWav;
};

} // namespace

TEST(AudioConverterArguments, AreExactWithTheStreamMapAfterTheInput) {
    const ConversionRequest request{"/a/Call.mp4", "/tmp/T", "_ref", false, 48000.0};
    const QStringList expected{"-y",
                               "-loglevel",
                               "error",
                               "-ignore_editlist",
                               "1",
                               "-i",
                               "/a/Call.mp4",
                               "-map",
                               "0:a:0",
                               "-ar",
                               "48000",
                               "-filter:a",
                               "pan=mono|c0=c0",
                               "-c:a",
                               "pcm_s16le",
                               "-vn",
                               "/tmp/T/Call_ref.wav"};
    EXPECT_EQ(AudioConverter::arguments(request), expected);

    const ConversionRequest stereo{"/a/Guest.flac", "/tmp/T", "_ind0", true, 44100.0};
    const QStringList expectedStereo{
        "-y",   "-loglevel", "error",     "-i",    "/a/Guest.flac",
        "-map", "0:a:0",     "-ar",       "44100", "-ac",
        "2",    "-c:a",      "pcm_s16le", "-vn",   "/tmp/T/Guest_ind0.wav"};
    EXPECT_EQ(AudioConverter::arguments(stereo), expectedStereo);
}

TEST(AudioConverterArguments, IgnoreEditListOnlyForTheFourExtensionsInAnyCase) {
    auto has = [](const QString& input) {
        return AudioConverter::arguments({input, "/o", "_ref", false, 48000.0})
            .contains("-ignore_editlist");
    };
    EXPECT_TRUE(has("/a/Show.MOV"));
    EXPECT_TRUE(has("/a/Show.mp4"));
    EXPECT_TRUE(has("/a/Show.M4a"));
    EXPECT_TRUE(has("/a/Show.m4v"));
    EXPECT_FALSE(has("/a/Show.mkv"));
    EXPECT_FALSE(has("/a/Show"));
    EXPECT_FALSE(has("/a/mov"));
    EXPECT_FALSE(has("/a/Show.mov.wav"));
    EXPECT_FALSE(has("/a/.mov"));
}

TEST(AudioConverterArguments, TruncatesTheRateTowardZero) {
    auto rateArg = [](double r) {
        const QStringList args = AudioConverter::arguments({"/a/x.wav", "/o", "_ref", false, r});
        return args.at(args.indexOf("-ar") + 1);
    };
    EXPECT_EQ(rateArg(44100.0), "44100");
    EXPECT_EQ(rateArg(47999.9), "47999");
    EXPECT_EQ(rateArg(8000.0001), "8000");
    EXPECT_EQ(rateArg(192000.0), "192000");
}

TEST(AudioConverterArguments, OutputNameDropsOnlyTheLastExtension) {
    EXPECT_EQ(AudioConverter::outputPath({"/x/Interview.take2.m4a", "/tmp/T", "_ind3", false, 1}),
              "/tmp/T/Interview.take2_ind3.wav");
    EXPECT_EQ(AudioConverter::outputPath({"/x/Interview", "/tmp/T", "_ind3", false, 1}),
              "/tmp/T/Interview_ind3.wav");
    EXPECT_EQ(AudioConverter::outputPath({"/x/Call.mp4", "/tmp/T/", "_ref", false, 1}),
              "/tmp/T/Call_ref.wav");
}

TEST_F(AudioConverterTest, MonoOutputHoldsTheFirstChannelNotAMix) {
    const auto result = convert(m_stereoWav, false);
    ASSERT_TRUE(result) << result.error().errorDescription().toStdString();
    EXPECT_EQ(result.value(), QDir(outDir()).filePath("Interview_ref.wav"));
    const WavContents wav = readWav(result.value());
    ASSERT_TRUE(wav.ok);
    EXPECT_EQ(wav.channels, 1);
    EXPECT_EQ(wav.sampleRate, rate);
    ASSERT_EQ(wav.frames, static_cast<long long>(m_left.size()));
    const WavContents input = readWav(m_stereoWav);
    EXPECT_LE(maxDifference(wav.samples, channel(input, 0)), 1.0 / 32768);
    EXPECT_GT(maxDifference(wav.samples, channel(input, 1)), 0.1);
}

TEST_F(AudioConverterTest, StereoOutputKeepsBothChannelsAtTheRequestedRate) {
    const auto result = convert(m_stereoWav, true, 44100.0, "_ind0");
    ASSERT_TRUE(result) << result.error().errorDescription().toStdString();
    const WavContents wav = readWav(result.value());
    ASSERT_TRUE(wav.ok);
    EXPECT_EQ(wav.channels, 2);
    EXPECT_EQ(wav.sampleRate, 44100);
    EXPECT_NEAR(double(wav.frames), seconds * 44100, 2.0);
    EXPECT_NEAR(rms(channel(wav, 0)) / rms(m_left), 1.0, 0.05);
    EXPECT_NEAR(rms(channel(wav, 1)) / rms(m_right), 1.0, 0.05);
}

TEST_F(AudioConverterTest, ConvertsEveryCommonContainerAndAVideoFile) {
    const QString mono = m_dir.filePath("mono.wav");
    ASSERT_TRUE(writeWav(mono, m_left, 1, rate));
    const QString video = m_dir.filePath("Camera.MP4");
    ASSERT_TRUE(runFFmpeg({"-f", "lavfi", "-i", "color=c=black:s=64x64:d=2", "-i", mono,
                           "-shortest", "-c:v", "mpeg4", "-c:a", "aac", video}));
    struct Case {
        QString file;
        QStringList encodeArgs;
    };
    const std::vector<Case> cases{{"Talk.m4a", {"-c:a", "aac"}},
                                  {"Talk.mp3", {"-c:a", "libmp3lame"}},
                                  {"Talk.flac", {}},
                                  {"Talk.ogg", {"-c:a", "libvorbis"}}};
    QStringList inputs{mono, video};
    for (const Case& c : cases) {
        const QString path = m_dir.filePath(c.file);
        ASSERT_TRUE(encodeWithFFmpeg(mono, path, c.encodeArgs)) << c.file.toStdString();
        inputs << path;
    }
    for (const QString& input : inputs) {
        SCOPED_TRACE(input.toStdString());
        const auto result = convert(input, false, 44100.0, "_ind1");
        ASSERT_TRUE(result) << result.error().errorDescription().toStdString();
        const WavContents wav = readWav(result.value());
        ASSERT_TRUE(wav.ok);
        EXPECT_EQ(wav.channels, 1);
        EXPECT_EQ(wav.sampleRate, 44100);
        // Encoders add priming and padding of a few thousand samples at most.
        EXPECT_NEAR(double(wav.frames), seconds * 44100, 4096.0);
        EXPECT_NEAR(rms(wav.samples) / rms(m_left), 1.0, 0.15);
    }
}

TEST_F(AudioConverterTest, ConvertsTheFirstAudioStreamOfAFileWithSeveralStreams) {
    // Left to itself ffmpeg would pick the second stream: it is the default track and has more
    // channels. The rate and channel count are probed from the first one.
    const QString first = m_dir.filePath("first.wav");
    ASSERT_TRUE(writeWav(first, m_left, 1, rate));
    const QString second = m_dir.filePath("second.wav");
    ASSERT_TRUE(writeWav(second, interleave(m_right, m_left), 2, rate));
    const QString twoTracks = m_dir.filePath("TwoTracks.mkv");
    ASSERT_TRUE(runFFmpeg({"-i", first, "-i", second, "-map", "0:a", "-map", "1:a", "-c:a", "flac",
                           "-disposition:a:0", "0", "-disposition:a:1", "default", twoTracks}));
    const auto result = convert(twoTracks, false);
    ASSERT_TRUE(result) << result.error().errorDescription().toStdString();
    const WavContents wav = readWav(result.value());
    ASSERT_TRUE(wav.ok);
    const WavContents expected = readWav(first);
    ASSERT_EQ(wav.frames, expected.frames);
    EXPECT_LE(maxDifference(wav.samples, expected.samples), 1.0 / 32768);
}

TEST_F(AudioConverterTest, PathsWithBlanksQuotesAndNonAsciiLettersNeedNoEscaping) {
    const QString folder = m_dir.filePath("Folder with blanks & \"quotes\"");
    ASSERT_TRUE(QDir().mkpath(folder));
    const QString input = folder + "/It's \"Jörg\" — Ünïcødé #1 $(x).wav";
    ASSERT_TRUE(QFile::copy(m_stereoWav, input));
    const auto result = convert(input, false, rate, "_ind2");
    ASSERT_TRUE(result) << result.error().errorDescription().toStdString();
    EXPECT_EQ(QFileInfo(result.value()).fileName(), "It's \"Jörg\" — Ünïcødé #1 $(x)_ind2.wav");
    EXPECT_TRUE(readWav(result.value()).ok);
}

TEST_F(AudioConverterTest, BadInputFailsWithTheToolsMessage) {
    const QString text = m_dir.filePath("notes.wav");
    QFile notes(text);
    ASSERT_TRUE(notes.open(QIODevice::WriteOnly));
    notes.write("These are meeting notes, not audio.\n");
    notes.close();
    const QString empty = m_dir.filePath("empty.m4a");
    QFile(empty).open(QIODevice::WriteOnly);
    const QString missing = m_dir.filePath("missing.wav");
    const QString silentVideo = m_dir.filePath("novoice.mp4");
    ASSERT_TRUE(runFFmpeg(
        {"-f", "lavfi", "-i", "color=c=black:s=64x64:d=1", "-c:v", "mpeg4", silentVideo}));

    for (const QString& input : {text, empty, missing, silentVideo}) {
        SCOPED_TRACE(input.toStdString());
        const auto result = convert(input, false);
        ASSERT_FALSE(result);
        EXPECT_EQ(result.error().kind(), CorvaleError::Kind::conversionFailed);
        EXPECT_FALSE(result.error().detail().trimmed().isEmpty());
        EXPECT_TRUE(result.error().errorDescription().startsWith("Conversion failed: "));
    }
    EXPECT_TRUE(convert(missing, false).error().detail().contains("No such file or directory"));
}

TEST_F(AudioConverterTest, AWavWithoutFramesConvertsToAnEmptyWav) {
    const QString emptyWav = m_dir.filePath("nothing.wav");
    ASSERT_TRUE(writeWav(emptyWav, {}, 1, rate));
    const auto result = convert(emptyWav, false);
    ASSERT_TRUE(result) << result.error().errorDescription().toStdString();
    const WavContents wav = readWav(result.value());
    EXPECT_TRUE(wav.ok);
    EXPECT_EQ(wav.frames, 0);
}

TEST_F(AudioConverterTest, FailureTextsOfAFailingTool) {
    auto failure = [&](const QString& script) {
        const auto result = convert(m_stereoWav, false, rate, "_ref", {}, fake(script));
        return result ? QString("<succeeded>") : result.error().errorDescription();
    };
    EXPECT_EQ(failure("exit 1"), "Conversion failed: ");
    EXPECT_EQ(failure(R"(printf 'bad \377\376 bytes' >&2; exit 1)"),
              "Conversion failed: unknown error");
    EXPECT_EQ(failure(R"(printf 'cut \342\202' >&2; exit 1)"), "Conversion failed: unknown error");
    EXPECT_EQ(failure(R"(printf 'Überlauf in Spur 2\n' >&2; exit 69)"),
              "Conversion failed: Überlauf in Spur 2\n");
    EXPECT_EQ(failure("kill -TERM $$"), "Conversion failed: ");
}

// A tool that exits 0 is believed only for a WAV of the shape asked for: text, nothing, or
// the wrong layout is a failed conversion, never audio for the run to read or publish.
TEST_F(AudioConverterTest, ASuccessWithoutReadableAudioIsAFailure) {
    const auto verdict = [&](const QString& script, bool stereo) {
        const auto result = convert(m_stereoWav, stereo, rate, "_ref", {}, fake(script));
        return result ? QString("<succeeded>") : result.error().errorDescription();
    };
    const QString refused = "Conversion failed: ffmpeg reported success but wrote no readable "
                            "16-bit WAV";
    EXPECT_EQ(
        verdict(R"(for a; do last=$a; done; echo 'Usage: ffmpeg [options]' > "$last")", false),
        refused);
    EXPECT_EQ(verdict("exit 0", false), refused);
    const QString copyStereo =
        QString(R"(for a; do last=$a; done; cp '%1' "$last")").arg(m_stereoWav);
    EXPECT_EQ(verdict(copyStereo, false), refused) << "two channels where one was asked for";
    EXPECT_EQ(verdict(copyStereo, true), "<succeeded>");
}

TEST_F(AudioConverterTest, AToolThatCannotStartPassesOnTheSystemError) {
    const auto missing =
        convert(m_stereoWav, false, rate, "_ref", {}, m_dir.filePath("nope/ffmpeg"));
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().kind(), CorvaleError::Kind::passedOn);
    EXPECT_FALSE(missing.error().detail().isEmpty());
    EXPECT_EQ(missing.error().errorDescription(), missing.error().detail());

    const QString plain = fake("exit 0");
    QFile::setPermissions(plain, QFile::ReadOwner | QFile::WriteOwner);
    const auto notExecutable = convert(m_stereoWav, false, rate, "_ref", {}, plain);
    ASSERT_FALSE(notExecutable);
    EXPECT_EQ(notExecutable.error().kind(), CorvaleError::Kind::passedOn);
}

TEST_F(AudioConverterTest, StopBeforeTheStartCancelsWithoutAProcess) {
    const QString marker = m_dir.filePath("ran");
    std::stop_source source;
    source.request_stop();
    const auto result = convert(m_stereoWav, false, rate, "_ref", source.get_token(),
                                fake(QString("touch '%1'").arg(marker)));
    ASSERT_FALSE(result);
    EXPECT_TRUE(result.error().isCancellation());
    EXPECT_EQ(childProcessCount(), 0);
    EXPECT_FALSE(QFile::exists(marker));
}

TEST_F(AudioConverterTest, StopWhileConvertingTerminatesTheChildPromptly) {
    // The real ffmpeg, held to real time on a minute of input, stands in for a long conversion.
    const QString slow = fake(
        QString("exec '%1' -loglevel error -re -f lavfi -i sine=d=60 -f null -").arg(realFFmpeg()));
    std::stop_source source;
    std::optional<Result<QString>> result;
    AudioConverter(slow).convertToWAV({m_stereoWav, outDir(), "_ref", false, rate},
                                      source.get_token(), &m_context,
                                      [&result](Result<QString> r) { result = std::move(r); });
    ASSERT_TRUE(waitUntil([] { return childProcessCount() == 1; }, 5000));
    ASSERT_FALSE(result);
    source.request_stop();
    ASSERT_TRUE(waitUntil([&] { return result.has_value(); }, 5000));
    ASSERT_FALSE(*result);
    EXPECT_EQ(result->error().kind(), CorvaleError::Kind::conversionFailed);
}

TEST_F(AudioConverterTest, SeveralConversionsRunAtOnce) {
    constexpr int count = 4;
    std::vector<std::optional<Result<QString>>> results(count);
    const AudioConverter converter(realFFmpeg());
    for (int i = 0; i < count; ++i) {
        converter.convertToWAV(
            {m_stereoWav, outDir(), QString("_ind%1").arg(i), i % 2 == 0, double(rate)}, {},
            &m_context, [&results, i](Result<QString> r) { results[i] = std::move(r); });
    }
    ASSERT_TRUE(waitUntil(
        [&] {
            return std::all_of(results.begin(), results.end(),
                               [](const auto& r) { return r.has_value(); });
        },
        60000));
    for (int i = 0; i < count; ++i) {
        ASSERT_TRUE(*results[i]) << results[i]->error().errorDescription().toStdString();
        EXPECT_EQ(results[i]->value(),
                  QDir(outDir()).filePath(QString("Interview_ind%1.wav").arg(i)));
        EXPECT_EQ(readWav(results[i]->value()).channels, i % 2 == 0 ? 2 : 1);
    }
}

TEST_F(AudioConverterTest, ReportsHowFarTheConversionHasComeWithTheSameOutput) {
    EXPECT_EQ(AudioConverter::progressSeconds("frame=0\nout_time_us=1500000\nprogress=continue\n"
                                              "out_time_us=2250000\n"),
              2.25);
    EXPECT_FALSE(AudioConverter::progressSeconds("progress=continue\nout_time_us=N/A\n"));

    std::vector<double> reported;
    std::optional<Result<QString>> result;
    AudioConverter(realFFmpeg())
        .convertToWAV(
            {m_stereoWav, outDir(), "_p", false, rate}, {}, &m_context,
            [&](Result<QString> r) { result = std::move(r); },
            [&](double s) { reported.push_back(s); });
    ASSERT_TRUE(waitUntil([&] { return result.has_value(); }, 60000));
    ASSERT_TRUE(*result) << result->error().errorDescription().toStdString();
    ASSERT_FALSE(reported.empty());
    EXPECT_NEAR(reported.back(), seconds, 0.5);
    // The report goes to the progress callback, never into the converted audio or its errors.
    const auto plain = convert(m_stereoWav, false);
    ASSERT_TRUE(plain);
    EXPECT_EQ(readWav(result->value()).samples, readWav(plain.value()).samples);
}
