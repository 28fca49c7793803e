// SPDX-License-Identifier: GPL-3.0-or-later
#include "audio/partialoutput.h"
#include "audio/wavreader.h"
#include "support/speechgen.h"
#include "support/wavfile.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>
#include <sndfile.h>

#include <cmath>

#include <fcntl.h>
#include <unistd.h>

using namespace corvale;

namespace {

constexpr int kRate = 8000;

std::vector<float> slice(const std::vector<float>& v, std::size_t from, std::size_t to) {
    return {v.begin() + std::ptrdiff_t(from), v.begin() + std::ptrdiff_t(to)};
}

class PartialOutputTest : public ::testing::Test {
protected:
    QString path(const QString& name) const { return m_dir.filePath(name); }

    // A mono 16-bit input and the values it holds.
    std::vector<float> makeInput(const QString& name, double seconds, std::uint32_t seed) {
        EXPECT_TRUE(test::writeWav(path(name), test::speechLike(seconds, kRate, seed), 1, kRate));
        return test::readWav(path(name)).samples;
    }

    QTemporaryDir m_dir;
};

} // namespace

TEST_F(PartialOutputTest, OnlyPlainSixteenBitMonoDataIsOfferedForCopying) {
    const auto input = makeInput("mono.wav", 1.0, 1);
    WavReader mono;
    ASSERT_FALSE(mono.open(path("mono.wav")));
    const auto raw = mono.rawPcm16Mono();
    ASSERT_TRUE(raw);
    EXPECT_EQ(raw->frames, std::int64_t(input.size()));
    for (const std::size_t f : {std::size_t(0), std::size_t(1234), input.size() - 1}) {
        short value = 0;
        ASSERT_EQ(::pread(raw->fd, &value, 2, raw->offset + 2 * std::int64_t(f)), 2);
        EXPECT_EQ(value / 32768.0f, input[f]) << "frame " << f;
    }

    ASSERT_TRUE(test::writeWav(path("stereo.wav"), test::interleave(input, input), 2, kRate));
    WavReader stereo;
    ASSERT_FALSE(stereo.open(path("stereo.wav")));
    EXPECT_FALSE(stereo.rawPcm16Mono());
    EXPECT_TRUE(test::encodeWithFFmpeg(path("mono.wav"), path("float.wav"), {"-c:a", "pcm_f32le"}));
    WavReader floats;
    ASSERT_FALSE(floats.open(path("float.wav")));
    EXPECT_FALSE(floats.rawPcm16Mono());
}

TEST_F(PartialOutputTest, KernelCopiesInterleaveWithTheLibrarysWrites) {
    const auto a = makeInput("a.wav", 3.0, 2);
    const auto b = makeInput("b.wav", 2.0, 3);
    WavReader ra, rb;
    ASSERT_FALSE(ra.open(path("a.wav")));
    ASSERT_FALSE(rb.open(path("b.wav")));
    const auto rawA = ra.rawPcm16Mono();
    const auto rawB = rb.rawPcm16Mono();
    ASSERT_TRUE(rawA && rawB);

    PartialOutput out;
    ASSERT_TRUE(out.create(path("out.wav"), kRate).ok());
    ASSERT_TRUE(out.appendSilence(100).ok());
    const auto first = out.appendCopy(rawA->fd, rawA->offset + 2 * 500, 8000, {});
    ASSERT_TRUE(first.ok());
    if (out.kernelCopyRefused())
        GTEST_SKIP() << "this file system refuses copy_file_range";
    EXPECT_EQ(first.value(), 8000);
    ASSERT_TRUE(out.append(b.data(), 300).ok());
    // Asked for more than the source holds: what it holds.
    const auto second = out.appendCopy(rawB->fd, rawB->offset + 2 * 15000, 5000, {});
    ASSERT_TRUE(second.ok());
    EXPECT_EQ(second.value(), std::int64_t(b.size()) - 15000);
    ASSERT_TRUE(out.appendSilence(7).ok());
    EXPECT_EQ(out.length(), 100 + 8000 + 300 + (std::int64_t(b.size()) - 15000) + 7);
    ASSERT_TRUE(out.commit().ok());

    std::vector<float> expected(100, 0.0f);
    for (const auto& piece :
         {slice(a, 500, 8500), slice(b, 0, 300), slice(b, 15000, b.size()), {0, 0, 0, 0, 0, 0, 0}})
        expected.insert(expected.end(), piece.begin(), piece.end());
    const auto written = test::readWav(path("out.wav"));
    ASSERT_TRUE(written.ok);
    EXPECT_EQ(written.frames, std::int64_t(expected.size()));
    EXPECT_EQ(written.samples, expected);
}

TEST_F(PartialOutputTest, ARefusedOrHalfSampleCopyLeavesAWellFormedFile) {
    const auto a = makeInput("a.wav", 1.0, 4);
    PartialOutput out;
    ASSERT_TRUE(out.create(path("out.wav"), kRate).ok());
    ASSERT_TRUE(out.append(a.data(), 10).ok());

    // Seven bytes: three whole samples and half of one.
    QFile odd(path("odd.raw"));
    ASSERT_TRUE(odd.open(QIODevice::WriteOnly));
    odd.write("\x01\x00\x02\x00\x03\x00\x04", 7);
    odd.close();
    const int oddFd = ::open(QFile::encodeName(path("odd.raw")).constData(), O_RDONLY);
    ASSERT_GE(oddFd, 0);
    const auto partial = out.appendCopy(oddFd, 0, 4, {});
    ::close(oddFd);
    ASSERT_TRUE(partial.ok());
    const std::int64_t copied = partial.value();
    EXPECT_TRUE(copied == 3 || (copied == 0 && out.kernelCopyRefused()));

    // A device is no file the kernel copies from: refused, nothing appended, and the rest of
    // the output is still the library's to write.
    const int device = ::open("/dev/zero", O_RDONLY);
    ASSERT_GE(device, 0);
    const auto refused = out.appendCopy(device, 0, 100, {});
    ::close(device);
    ASSERT_TRUE(refused.ok());
    EXPECT_EQ(refused.value(), 0);
    EXPECT_TRUE(out.kernelCopyRefused());
    ASSERT_TRUE(out.append(a.data() + 10, 5).ok());
    ASSERT_TRUE(out.commit().ok());

    std::vector<float> expected = slice(a, 0, 10);
    for (std::int64_t i = 1; i <= copied; ++i)
        expected.push_back(float(i) / 32768.0f);
    const auto tail = slice(a, 10, 15);
    expected.insert(expected.end(), tail.begin(), tail.end());
    const auto written = test::readWav(path("out.wav"));
    ASSERT_TRUE(written.ok);
    EXPECT_EQ(written.samples, expected);
    EXPECT_EQ(QFile(path("out.wav")).size(), 44 + 2 * qint64(expected.size()));
}

TEST_F(PartialOutputTest, CancelledCopyAndUncommittedOutputLeaveNothing) {
    makeInput("a.wav", 2.0, 5);
    WavReader in;
    ASSERT_FALSE(in.open(path("a.wav")));
    const auto raw = in.rawPcm16Mono();
    ASSERT_TRUE(raw);
    {
        PartialOutput out;
        ASSERT_TRUE(out.create(path("out.wav"), kRate).ok());
        std::stop_source stop;
        stop.request_stop();
        const auto cancelled = out.appendCopy(raw->fd, raw->offset, raw->frames, stop.get_token());
        if (!out.kernelCopyRefused()) {
            ASSERT_FALSE(cancelled.ok());
            EXPECT_TRUE(cancelled.error().isCancellation());
        }
    }
    EXPECT_EQ(QDir(m_dir.path()).entryList(QDir::Files | QDir::Hidden),
              QStringList{QStringLiteral("a.wav")});
}

// Until commit no name leads to the output, so a writer killed even by SIGKILL leaves nothing;
// where the file system has no unnamed files, the hidden partial a dead writer left is cleared
// and a live writer's is not.
TEST_F(PartialOutputTest, AnUnfinishedOutputHasNoNameAndADeadWritersPartialIsCleared) {
    const auto a = makeInput("a.wav", 1.0, 5);
    const auto entries = [&] {
        return QDir(m_dir.path()).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot);
    };
    {
        PartialOutput out;
        ASSERT_TRUE(out.create(path("out.wav"), kRate).ok());
        ASSERT_TRUE(out.append(a.data(), std::int64_t(a.size())).ok());
        EXPECT_EQ(entries(), QStringList{"a.wav"});
        ASSERT_EQ(out.commit().value(), path("out.wav"));
    }
    EXPECT_EQ(test::readWav(path("out.wav")).samples, a);

    const QString dead = path(".x.wav.corvale-partial-abc123.wav");
    QFile(dead).open(QIODevice::WriteOnly);
    const QString bystander = path(".notes.wav");
    QFile(bystander).open(QIODevice::WriteOnly);
    PartialOutput live(UnpublishedFile::Kind::hiddenName);
    ASSERT_TRUE(live.create(path("live.wav"), kRate).ok());
    ASSERT_TRUE(live.append(a.data(), 100).ok());
    EXPECT_EQ(removeDeadPartials(m_dir.path()), 0) << "a partial made just now may be a live one";
    EXPECT_EQ(removeDeadPartials(m_dir.path(), std::chrono::seconds(0)), 1);
    EXPECT_FALSE(QFile::exists(dead));
    EXPECT_TRUE(QFile::exists(bystander));
    EXPECT_EQ(entries().filter("corvale-partial").size(), 1) << "the live writer's partial";
    ASSERT_EQ(live.commit().value(), path("live.wav"));
    EXPECT_TRUE(entries().filter("corvale-partial").isEmpty());
}

// Frames are gathered and written in large blocks beside the library's header; the file must be
// byte for byte the one libsndfile writes itself with clipping on, across block boundaries and
// for every kind of value (ties, overs, the edges of the range), but what is not a number.
TEST_F(PartialOutputTest, LargeWritesGiveTheLibrarysOwnFile) {
    std::vector<float> samples = test::speechLike(40.0, kRate, 9);
    const float edges[] = {1.0f,
                           -1.0f,
                           1.5f,
                           -1.5f,
                           0.5f / 32768,
                           1.5f / 32768,
                           -2.5f / 32768,
                           32767.5f / 32768,
                           -32768.5f / 32768,
                           1e30f,
                           -INFINITY,
                           std::nanf("")};
    for (std::size_t i = 0; i < samples.size(); i += 997)
        samples[i] = edges[(i / 997) % std::size(edges)];
    std::vector<short> shorts(5000);
    for (std::size_t i = 0; i < shorts.size(); ++i)
        shorts[i] = short(i * 13 - 32768);

    std::vector<float> expected;
    PartialOutput out;
    ASSERT_TRUE(out.create(path("ours.wav"), kRate).ok());
    for (std::size_t at = 0, piece = 1; at < samples.size();
         at += piece, piece = piece * 7 % 150001) {
        const std::size_t count = std::min(piece, samples.size() - at);
        ASSERT_TRUE(out.append(samples.data() + at, std::int64_t(count)).ok());
        ASSERT_TRUE(out.appendSilence(std::int64_t(piece % 3)).ok());
        ASSERT_TRUE(out.append(shorts.data(), std::int64_t(piece % shorts.size())).ok());
        expected.insert(expected.end(), samples.begin() + std::ptrdiff_t(at),
                        samples.begin() + std::ptrdiff_t(at + count));
        expected.insert(expected.end(), piece % 3, 0.0f);
        for (std::size_t i = 0; i < piece % shorts.size(); ++i)
            expected.push_back(shorts[i] / 32768.0f);
    }
    ASSERT_TRUE(out.commit().ok());

    // Where the library writes a full-scale click for what is not a number, ours is silence.
    std::replace_if(
        expected.begin(), expected.end(), [](float v) { return std::isnan(v); }, 0.0f);
    SF_INFO info{};
    info.samplerate = kRate;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* theirs = sf_open(QFile::encodeName(path("theirs.wav")).constData(), SFM_WRITE, &info);
    ASSERT_TRUE(theirs);
    sf_command(theirs, SFC_SET_CLIPPING, nullptr, SF_TRUE);
    ASSERT_EQ(sf_writef_float(theirs, expected.data(), sf_count_t(expected.size())),
              sf_count_t(expected.size()));
    sf_close(theirs);
    QFile a(path("ours.wav")), b(path("theirs.wav"));
    ASSERT_TRUE(a.open(QIODevice::ReadOnly) && b.open(QIODevice::ReadOnly));
    EXPECT_GT(a.size(), 2 * 131072 * 2);
    const QByteArray ours = a.readAll(), library = b.readAll();
    ASSERT_EQ(ours.size(), library.size());
    for (qsizetype i = 0; i < ours.size(); ++i)
        ASSERT_EQ(ours[i], library[i]) << "byte " << i;
}
