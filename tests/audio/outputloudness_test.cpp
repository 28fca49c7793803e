// SPDX-License-Identifier: GPL-3.0-or-later
// The writer with a loudness target: measured as written, brought to the target with a plain
// gain before it is published, never published half-done.
#include "audio/audiooutputwriter.h"
#include "support/speechgen.h"
#include "support/testenv.h"
#include "support/wavfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <optional>
#include <thread>

using namespace corvale;
using namespace corvale::test;

namespace {

constexpr int kRate = 48000;

class OutputLoudnessTest : public ::testing::Test {
protected:
    QString path(const QString& name) const { return m_dir.filePath(name); }
    QString input(const QString& name, const std::vector<float>& samples, int channels = 1) {
        EXPECT_TRUE(writeWav(path(name), samples, channels, kRate));
        return path(name);
    }
    static SyncPart part(const QString& file, double offset, std::int64_t channel = 0) {
        SyncPart p;
        p.inputWAV = file;
        p.offsetSeconds = offset;
        p.channel = channel;
        return p;
    }
    WrittenOutput write(const std::vector<SyncPart>& parts, const QString& name,
                        std::optional<double> target) {
        auto written = m_writer.writeOutput(parts, path(name), {target});
        EXPECT_TRUE(written.ok()) << (written.ok() ? "" : qPrintable(written.error().detail()));
        return written.ok() ? written.value() : WrittenOutput{};
    }
    QStringList files() const { return QDir(m_dir.path()).entryList(QDir::Files | QDir::Hidden); }

    QTemporaryDir m_dir;
    AudioOutputWriter m_writer;
};

} // namespace

TEST_F(OutputLoudnessTest, EveryOutputLandsWithinHalfALUOfTheTarget) {
    const QString quiet = input(QStringLiteral("quiet.wav"), speechLike(40.0, kRate, 3, 0.05f));
    const auto left = speechLike(40.0, kRate, 4, 0.9f);
    const auto right = speechLike(40.0, kRate, 5, 0.02f);
    const QString stereo = input(QStringLiteral("split.wav"), interleave(left, right), 2);
    struct Case {
        std::vector<SyncPart> parts;
        double target;
    };
    // A 16-bit mono copy (copied by the kernel), the two sides of a split file each on its
    // own (read and written here), and a merge of two parts.
    const std::vector<Case> cases{{{part(quiet, 2.0)}, -16.0},
                                  {{part(stereo, -1.0, 0)}, -23.0},
                                  {{part(stereo, -1.0, 1)}, -23.0},
                                  {{part(quiet, 0.0), part(stereo, 45.0, 1)}, -19.0}};
    int index = 0;
    for (const Case& c : cases) {
        const QString name = QStringLiteral("out%1.wav").arg(index++);
        const QString plain = QStringLiteral("plain-") + name;
        ASSERT_TRUE(m_writer.write(c.parts, path(plain)).ok());
        const WrittenOutput written = write(c.parts, name, c.target);
        ASSERT_TRUE(written.loudness);
        const OutputLoudness& loudness = *written.loudness;
        EXPECT_EQ(written.path, path(name));
        EXPECT_FALSE(loudness.failure);
        // What was measured is the output as written without a target; what was reached is
        // the file published.
        EXPECT_NEAR(loudness.measuredLUFS, ffmpegLoudness(path(plain), FFmpegLoudness::ebur128),
                    0.1);
        ASSERT_TRUE(loudness.gainDb && loudness.reachedLUFS) << name.toStdString();
        EXPECT_NEAR(*loudness.gainDb, c.target - loudness.measuredLUFS, 1e-9);
        const double reached = ffmpegLoudness(path(name), FFmpegLoudness::loudnorm);
        EXPECT_NEAR(reached, c.target, kLoudnessToleranceLU) << name.toStdString();
        EXPECT_NEAR(*loudness.reachedLUFS, ffmpegLoudness(path(name), FFmpegLoudness::ebur128),
                    0.1);
        EXPECT_EQ(readWav(path(name)).frames, readWav(path(plain)).frames);
    }
    EXPECT_EQ(files().filter(QStringLiteral("partial")), QStringList{});
}

TEST_F(OutputLoudnessTest, WithinTheToleranceOrSilentTheOutputIsPublishedAsWritten) {
    const QString speech = input(QStringLiteral("speech.wav"), speechLike(20.0, kRate, 6, 0.5f));
    ASSERT_TRUE(m_writer.write({part(speech, 1.0)}, path(QStringLiteral("plain.wav"))).ok());
    const double measured =
        ffmpegLoudness(path(QStringLiteral("plain.wav")), FFmpegLoudness::ebur128);
    const WrittenOutput near =
        write({part(speech, 1.0)}, QStringLiteral("near.wav"), measured + 0.4);
    ASSERT_TRUE(near.loudness);
    EXPECT_FALSE(near.loudness->gainDb);
    EXPECT_EQ(near.loudness->reachedLUFS, near.loudness->measuredLUFS);
    EXPECT_EQ(readWav(near.path).samples, readWav(path(QStringLiteral("plain.wav"))).samples);

    const QString silence = input(QStringLiteral("silence.wav"), std::vector<float>(kRate * 5));
    const WrittenOutput silent = write({part(silence, 0.5)}, QStringLiteral("silent.wav"), -16.0);
    ASSERT_TRUE(silent.loudness);
    EXPECT_TRUE(silent.loudness->failure);
    EXPECT_EQ(silent.loudness->measuredLUFS, -std::numeric_limits<double>::infinity());
    EXPECT_FALSE(silent.loudness->reachedLUFS);
    EXPECT_EQ(readWav(silent.path).frames, kRate * 5 + kRate / 2);
}

TEST_F(OutputLoudnessTest, AGainThatOverdrivesClipsAtSixteenBitsInsteadOfWrapping) {
    const auto loud = speechLike(20.0, kRate, 8, 0.9f);
    const QString file = input(QStringLiteral("loud.wav"), loud);
    const WrittenOutput written = write({part(file, 0.0)}, QStringLiteral("hot.wav"), -2.0);
    ASSERT_TRUE(written.loudness && written.loudness->gainDb);
    EXPECT_GT(written.loudness->clippedSamples, 0);
    // Clipping costs loudness: the reported figure is the file's, not the target.
    EXPECT_LT(*written.loudness->reachedLUFS, -2.0 - 0.1);
    EXPECT_NEAR(*written.loudness->reachedLUFS,
                ffmpegLoudness(written.path, FFmpegLoudness::ebur128), 0.1);
    const auto in = readWav(file).samples;
    const auto out = readWav(written.path).samples;
    ASSERT_EQ(in.size(), out.size());
    std::int64_t atFullScale = 0;
    for (std::size_t i = 0; i < in.size(); ++i) {
        ASSERT_FALSE(in[i] * out[i] < 0.0f) << "sample " << i << " wrapped around";
        atFullScale += std::abs(out[i]) >= 32767.0f / 32768.0f;
    }
    EXPECT_GE(atFullScale, written.loudness->clippedSamples);
}

TEST_F(OutputLoudnessTest, ACancelWhileNormalisingLeavesNothingUnderTheFinalName) {
    const std::int64_t frames = std::int64_t(kRate) * 240;
    const QString file = input(QStringLiteral("long.wav"), speechLike(240.0, kRate, 9, 0.05f));
    const QString output = path(QStringLiteral("out.wav"));
    int cancelledWhileNormalising = 0;
    // The stop comes once every frame is in the unpublished file, that is while the gain is
    // applied; a loaded machine may publish first, so a few tries are allowed.
    for (int attempt = 0; attempt < 5 && cancelledWhileNormalising == 0; ++attempt) {
        std::stop_source source;
        std::atomic<bool> finished = false;
        std::optional<Result<WrittenOutput>> result;
        std::thread worker([&] {
            result.emplace(
                m_writer.writeOutput({part(file, 0.0)}, output, {-16.0}, source.get_token()));
            finished = true;
        });
        const auto complete = [&] {
            const auto size = test::unnamedFileSize(m_dir.path());
            return size && *size >= 44 + 2 * frames;
        };
        while (!finished && !complete())
            std::this_thread::yield();
        source.request_stop();
        worker.join();
        ASSERT_TRUE(result.has_value());
        if (result->ok()) { // published: then normalised
            EXPECT_NEAR(ffmpegLoudness(output, FFmpegLoudness::loudnorm), -16.0, 0.5);
            QFile::remove(output);
            continue;
        }
        EXPECT_TRUE(result->error().isCancellation());
        EXPECT_EQ(files(), QStringList{QStringLiteral("long.wav")});
        ++cancelledWhileNormalising;
    }
    EXPECT_EQ(cancelledWhileNormalising, 1);
}
