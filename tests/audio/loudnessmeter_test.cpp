// SPDX-License-Identifier: GPL-3.0-or-later
#include "audio/backgroundmeter.h"
#include "audio/loudnessgain.h"
#include "audio/loudnessmeter.h"
#include "support/speechgen.h"
#include "support/testenv.h"
#include "support/wavfile.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sndfile.h>

#include <cmath>
#include <limits>
#include <vector>

using namespace corvale;
using namespace corvale::test;

namespace {

// The meter's figure for a 16-bit file, fed as the file holds it.
double meterOf(const QString& path) {
    SF_INFO info{};
    SNDFILE* file = sf_open(QFile::encodeName(path).constData(), SFM_READ, &info);
    if (!file || info.channels != 1)
        return std::numeric_limits<double>::quiet_NaN();
    LoudnessMeter meter;
    EXPECT_TRUE(meter.start(info.samplerate).ok());
    std::vector<short> chunk(48000);
    sf_count_t got = 0;
    while ((got = sf_readf_short(file, chunk.data(), sf_count_t(chunk.size()))) > 0)
        EXPECT_TRUE(meter.add({chunk.data(), std::size_t(got)}).ok());
    sf_close(file);
    const auto lufs = meter.integrated();
    return lufs ? lufs.value() : std::numeric_limits<double>::quiet_NaN();
}

// Speech as a voice recording holds it: little above 7 kHz (written through ffmpeg's lowpass).
QString recordedSpeech(const QString& path, int rate, float peak) {
    const QString raw = path + QStringLiteral(".raw.wav");
    EXPECT_TRUE(writeWav(raw, speechLike(40.0, rate, 5, peak), 1, rate));
    EXPECT_TRUE(encodeWithFFmpeg(
        raw, path, {"-af", "lowpass=f=7000,lowpass=f=7000,lowpass=f=7000", "-c:a", "pcm_s16le"}));
    return path;
}

// Noise written by ffmpeg's own generator.
QString ffmpegNoise(const QString& path, const QString& colour, double amplitude, int rate) {
    QProcess p;
    p.start(realFFmpeg(), {"-y", "-loglevel", "error", "-f", "lavfi", "-i",
                           QStringLiteral("anoisesrc=d=20:c=%1:a=%2:r=%3:seed=7")
                               .arg(colour)
                               .arg(amplitude)
                               .arg(rate),
                           "-ac", "1", "-c:a", "pcm_s16le", path});
    EXPECT_TRUE(p.waitForFinished(60000) && p.exitCode() == 0);
    return path;
}

} // namespace

TEST(LoudnessMeter, AgreesWithFFmpegOnSpeechNoiseAndANearSilentFile) {
    QTemporaryDir dir;
    // loudnorm measures after ffmpeg's resampler has taken the input to 192 kHz: there the
    // generator's syllables read up to 0.25 LU quieter, full-band noise up to 0.35 LU, while the
    // ebur128 filter, which measures at the file's own rate, agrees with the meter to 0.01 LU.
    struct Case {
        QString file;
        double loudnormTolerance;
    };
    const auto speech = [&](const char* name, int rate, float peak) {
        return Case{recordedSpeech(dir.filePath(QString::fromLatin1(name)), rate, peak), 0.25};
    };
    const std::vector<Case> cases{
        speech("speech48.wav", 48000, 0.5f),
        speech("speech22.wav", 22050, 0.8f),
        {ffmpegNoise(dir.filePath("nearsilent.wav"), "pink", 0.004, 44100), 0.1}, // about -63 LUFS
        {ffmpegNoise(dir.filePath("pink.wav"), "pink", 0.2, 48000), 0.1},
        {ffmpegNoise(dir.filePath("white.wav"), "white", 0.1, 44100), 0.35},
    };
    for (const Case& c : cases) {
        const double ours = meterOf(c.file);
        ASSERT_TRUE(std::isfinite(ours)) << c.file.toStdString();
        EXPECT_NEAR(ours, ffmpegLoudness(c.file, FFmpegLoudness::ebur128), 0.1)
            << c.file.toStdString();
        EXPECT_NEAR(ours, ffmpegLoudness(c.file, FFmpegLoudness::loudnorm), c.loudnormTolerance)
            << c.file.toStdString();
    }
}

TEST(LoudnessMeter, SilenceAndNothingReadMinusInfinityAndAnUnstartedMeterFails) {
    LoudnessMeter meter;
    EXPECT_FALSE(meter.integrated().ok());
    EXPECT_FALSE(meter.add(std::vector<short>(10)).ok());
    EXPECT_FALSE(meter.start(0).ok());

    ASSERT_TRUE(meter.start(48000).ok());
    EXPECT_EQ(meter.integrated().value(), -std::numeric_limits<double>::infinity());
    ASSERT_TRUE(meter.add(std::vector<short>(48000 * 5)).ok());
    EXPECT_EQ(meter.integrated().value(), -std::numeric_limits<double>::infinity());
    EXPECT_EQ(meter.frames(), 48000 * 5);
}

TEST(LoudnessGain, OnlyOutsideTheToleranceAndOnlyForFiniteFigures) {
    EXPECT_FALSE(gainToTarget(-16.3, -16.0));
    EXPECT_FALSE(gainToTarget(-16.5, -16.0)); // exactly the tolerance is left alone
    EXPECT_NEAR(*gainToTarget(-21.0, -16.0), 5.0, 1e-12);
    EXPECT_NEAR(*gainToTarget(-10.0, -19.0), -9.0, 1e-12);
    EXPECT_FALSE(gainToTarget(-std::numeric_limits<double>::infinity(), -16.0));
    EXPECT_FALSE(gainToTarget(std::numeric_limits<double>::quiet_NaN(), -16.0));
}

TEST(LoudnessGain, RoundsToTheNearestValueAndClipsAtSixteenBits) {
    // +20 dB multiplies by ten, -20 dB divides by ten.
    std::vector<short> louder{0, 1, -1, 3276, -3276, 3277, -3277, 32767, -32768};
    EXPECT_EQ(applyGain(louder, 20.0), 4);
    EXPECT_EQ(louder,
              (std::vector<short>{0, 10, -10, 32760, -32760, 32767, -32768, 32767, -32768}));
    std::vector<short> softer{14, 16, -14, -16, 32767, -32768};
    EXPECT_EQ(applyGain(softer, -20.0), 0);
    EXPECT_EQ(softer, (std::vector<short>{1, 2, -1, -2, 3277, -3277}));
}

// Fed from another thread, the meter takes the same samples in the same order: the same figure
// to the bit, the same extremes; destroyed with blocks still waiting, it neither hangs nor
// touches the meter afterwards.
TEST(BackgroundMeter, GivesTheMetersOwnFigures) {
    std::vector<short> samples;
    for (const float v : speechLike(30.0, 48000, 7))
        samples.push_back(short(std::lrint(v * 20000.0f)));
    LoudnessMeter direct, fed;
    ASSERT_TRUE(direct.start(48000).ok() && fed.start(48000).ok());
    ASSERT_TRUE(direct.add(samples).ok());
    {
        BackgroundMeter feed(fed);
        for (std::size_t at = 0, piece = 1; at < samples.size();
             at += piece, piece = piece * 5 % 70001)
            feed.add(std::span(samples).subspan(at, std::min(piece, samples.size() - at)));
        feed.finish();
        EXPECT_EQ(fed.frames(), std::int64_t(samples.size()));
    }
    EXPECT_EQ(fed.integrated().value(), direct.integrated().value());
    EXPECT_EQ(fed.lowest(), direct.lowest());
    EXPECT_EQ(fed.highest(), direct.highest());

    LoudnessMeter abandoned;
    ASSERT_TRUE(abandoned.start(48000).ok());
    {
        BackgroundMeter feed(abandoned);
        for (int i = 0; i < 20; ++i)
            feed.add(samples);
    }
    EXPECT_LE(abandoned.frames(), 20 * std::int64_t(samples.size()));
}
