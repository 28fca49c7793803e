// SPDX-License-Identifier: GPL-3.0-or-later
#include "audio/ffmpeglocator.h"

#include "support/speechgen.h"
#include "support/testenv.h"
#include "support/wavfile.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace corvale;
using namespace corvale::test;

namespace {

class FFmpegLocatorTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_dir.isValid()); }

    // Creates an (empty, non-executable) file at a path below the temporary folder.
    QString touch(const QString& relative) {
        const QString path = m_dir.filePath(relative);
        QDir().mkpath(QFileInfo(path).path());
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        return path;
    }

    QString tone(const QString& name, int sampleRate, int channels) {
        const auto mono = speechLike(1.0, sampleRate, 5);
        const QString wav = m_dir.filePath(name + ".wav");
        EXPECT_TRUE(channels == 1 ? writeWav(wav, mono, 1, sampleRate)
                                  : writeWav(wav, interleave(mono, mono), 2, sampleRate));
        return wav;
    }

    QTemporaryDir m_dir;
    const QString m_ffprobe = realFFprobe();
};

} // namespace

TEST_F(FFmpegLocatorTest, CandidatesAreTheBundledCopiesThenThePathThenTheFixedPaths) {
    const QString appDir = QCoreApplication::applicationDirPath();
    // A tool only on PATH is found, and comes before the fixed paths.
    touch("bin/ffmpeg");
    QFile::setPermissions(m_dir.filePath("bin/ffmpeg"), QFile::ReadOwner | QFile::ExeOwner);
    const QByteArray path = qgetenv("PATH");
    qputenv("PATH", QFile::encodeName(m_dir.filePath("bin")));
    const QStringList candidates = ffmpegCandidates();
    qputenv("PATH", path);
    const QStringList expected{QDir::cleanPath(appDir + "/../share/corvale/ffmpeg"),
                               appDir + "/ffmpeg",
                               m_dir.filePath("bin/ffmpeg"),
                               "/opt/homebrew/bin/ffmpeg",
                               "/usr/local/bin/ffmpeg",
                               "/usr/bin/ffmpeg"};
    EXPECT_EQ(candidates, expected);
}

TEST_F(FFmpegLocatorTest, TheFirstExistingCandidateWinsByExistenceAlone) {
    const QString bundled = m_dir.filePath("share/corvale/ffmpeg");
    const QString beside = m_dir.filePath("bin/ffmpeg");
    const QString homebrew = m_dir.filePath("opt/homebrew/bin/ffmpeg");
    const QString system = m_dir.filePath("usr/bin/ffmpeg");
    const QStringList candidates{bundled, beside, homebrew, system};

    EXPECT_EQ(findFFmpeg(candidates), std::nullopt);
    touch("usr/bin/ffmpeg");
    EXPECT_EQ(findFFmpeg(candidates), system);
    touch("opt/homebrew/bin/ffmpeg");
    EXPECT_EQ(findFFmpeg(candidates), homebrew) << "an earlier fixed path wins";
    touch("share/corvale/ffmpeg"); // not executable: existence is all that counts
    EXPECT_EQ(findFFmpeg(candidates), bundled) << "the bundled copy always wins";
    EXPECT_EQ(findFFmpeg({}), std::nullopt);
}

TEST_F(FFmpegLocatorTest, FindsThisMachinesFFmpegAmongTheCandidates) {
    const auto found = findFFmpeg();
    ASSERT_TRUE(found);
    EXPECT_TRUE(ffmpegCandidates().contains(*found));
    EXPECT_EQ(ffprobeBeside("/usr/bin/ffmpeg"), "/usr/bin/ffprobe");
    EXPECT_EQ(ffprobeBeside("/opt/Corvale/share/corvale/ffmpeg"),
              "/opt/Corvale/share/corvale/ffprobe");
    EXPECT_EQ(ffprobeBeside(""), "");
}

TEST_F(FFmpegLocatorTest, ProbesAWavWithLibsndfile) {
    const QString wav = tone("Call", 22050, 2);
    EXPECT_EQ(probeAudioFormat(wav, m_ffprobe).sampleRate, 22050.0);
    EXPECT_EQ(probeAudioFormat(wav, m_ffprobe).channels, 2);
    // libsndfile alone answers for a WAV: no ffprobe needed.
    const AudioFormat alone = probeAudioFormat(wav, m_dir.filePath("no-ffprobe"));
    EXPECT_EQ(alone.channels, 2);
    EXPECT_EQ(alone.sampleRate, 22050.0);
    EXPECT_TRUE(alone.rateKnown);
}

TEST_F(FFmpegLocatorTest, ProbesAContainerLibsndfileCannotOpenWithFFprobe) {
    const QString m4a = m_dir.filePath("Call.m4a");
    ASSERT_TRUE(encodeWithFFmpeg(tone("stereo48", 48000, 2), m4a, {"-c:a", "aac"}));
    // Without ffprobe the container is unreadable: the fallbacks.
    const AudioFormat unread = probeAudioFormat(m4a, m_dir.filePath("no-ffprobe"));
    EXPECT_EQ(unread.sampleRate, 44100.0);
    EXPECT_EQ(unread.channels, 1);
    EXPECT_FALSE(unread.rateKnown);

    const QString video = m_dir.filePath("Camera With Blanks – Ü.mp4");
    ASSERT_TRUE(encodeWithFFmpeg(tone("mono32", 32000, 1), video,
                                 {"-f", "lavfi", "-i", "color=c=black:s=64x64:d=1", "-map", "1:v",
                                  "-map", "0:a", "-c:v", "mpeg4", "-c:a", "aac"}));

    // Both at once, as the run asks, from one ffprobe run.
    const AudioFormat m4aFormat = probeAudioFormat(m4a, m_ffprobe);
    EXPECT_EQ(m4aFormat.sampleRate, 48000.0);
    EXPECT_EQ(m4aFormat.channels, 2);
    EXPECT_TRUE(m4aFormat.rateKnown);
    const AudioFormat videoFormat = probeAudioFormat(video, m_ffprobe);
    EXPECT_EQ(videoFormat.sampleRate, 32000.0);
    EXPECT_EQ(videoFormat.channels, 1);
}

TEST_F(FFmpegLocatorTest, UnreadableFilesFallBackTo44100HzAndOneChannel) {
    const QString garbage = touch("garbage.wav");
    QFile file(garbage);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(QByteArray(4096, '\x5a'));
    file.close();
    const QString empty = touch("empty.m4a");
    const QString missing = m_dir.filePath("missing.flac");
    const QString noAudio = m_dir.filePath("picture-only.mp4");
    ASSERT_TRUE(encodeWithFFmpeg(
        tone("unused", 48000, 1), noAudio,
        {"-f", "lavfi", "-i", "color=c=black:s=64x64:d=1", "-map", "1:v", "-c:v", "mpeg4"}));
    for (const QString& path : {garbage, empty, missing, noAudio}) {
        SCOPED_TRACE(path.toStdString());
        EXPECT_EQ(probeAudioFormat(path, m_ffprobe).sampleRate, 44100.0);
        EXPECT_EQ(probeAudioFormat(path, m_ffprobe).channels, 1);
        EXPECT_FALSE(probeAudioFormat(path, m_ffprobe).rateKnown);
    }
}
