// SPDX-License-Identifier: GPL-3.0-or-later
#include "audio/audiooutputwriter.h"
#include "support/speechgen.h"
#include "support/testenv.h"
#include "support/wavfile.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <limits>
#include <sndfile.h>

#include <atomic>
#include <cmath>
#include <thread>

using namespace corvale;
using corvale::test::readWav;
using corvale::test::writeWav;

namespace {

constexpr int kRate = 44100;
constexpr std::int64_t kWindow = 441;

// Full-band noise: every window is loud.
std::vector<float> loudNoise(std::int64_t frames, std::uint32_t seed) {
    std::vector<float> out(static_cast<std::size_t>(frames));
    std::uint32_t s = seed;
    for (float& v : out) {
        s = s * 1664525u + 1013904223u;
        v = (static_cast<float>(s >> 8) / 16777216.0f - 0.5f);
    }
    return out;
}

std::vector<float> slice(const std::vector<float>& v, std::int64_t from, std::int64_t to) {
    return {v.begin() + from, v.begin() + to};
}

std::vector<float> concat(std::initializer_list<std::vector<float>> pieces) {
    std::vector<float> out;
    for (const auto& p : pieces)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

std::vector<float> zeros(std::int64_t n) {
    return std::vector<float>(static_cast<std::size_t>(n));
}

class WriterTest : public ::testing::Test {
protected:
    QString path(const QString& name) const { return m_dir.filePath(name); }

    // Writes a 16-bit file and returns the samples as they read back, so comparisons are exact.
    std::vector<float> makeInput(const QString& name, const std::vector<float>& interleaved,
                                 int channels = 1, int rate = kRate) {
        EXPECT_TRUE(writeWav(path(name), interleaved, channels, rate));
        return readWav(path(name)).samples;
    }

    std::vector<float> writeAndRead(const std::vector<SyncPart>& parts,
                                    const QString& name = QStringLiteral("out.wav")) {
        const auto result = m_writer.write(parts, path(name));
        EXPECT_TRUE(result.ok()) << (result.ok() ? "" : qPrintable(result.error().detail()));
        const auto contents = readWav(path(name));
        EXPECT_TRUE(contents.ok);
        EXPECT_EQ(contents.channels, 1);
        return contents.samples;
    }

    // Names in the folder that the writer may have left half-written.
    QStringList partialFiles() const {
        return QDir(m_dir.path())
            .entryList({QStringLiteral("*partial*")}, QDir::Files | QDir::Hidden);
    }

    QTemporaryDir m_dir;
    AudioOutputWriter m_writer;
};

SyncPart part(const QString& file, double offset, std::vector<DriftPoint> points = {}) {
    SyncPart p;
    p.inputWAV = file;
    p.offsetSeconds = offset;
    p.driftPoints = std::move(points);
    return p;
}

} // namespace

TEST_F(WriterTest, UncorrectedCopyOfSixteenBitInputIsBitExactMonoPcm16) {
    const auto input = makeInput(QStringLiteral("in.wav"), test::speechLike(3.0, kRate, 7, 1.2f));
    const auto output = writeAndRead({part(path(QStringLiteral("in.wav")), 0.0)});
    EXPECT_EQ(output, input);

    SF_INFO info{};
    SNDFILE* f =
        sf_open(QFile::encodeName(path(QStringLiteral("out.wav"))).constData(), SFM_READ, &info);
    ASSERT_NE(f, nullptr);
    sf_close(f);
    EXPECT_EQ(info.format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    EXPECT_EQ(info.channels, 1);
    EXPECT_EQ(info.samplerate, kRate);
}

TEST_F(WriterTest, PositiveOffsetLeadsWithSilenceAndNegativeOffsetTrimsExactFrames) {
    const auto input = makeInput(QStringLiteral("in.wav"), loudNoise(3 * kRate, 1));
    const auto n = static_cast<std::int64_t>(input.size());

    const auto late =
        writeAndRead({part(path(QStringLiteral("in.wav")), 2.0)}, QStringLiteral("late.wav"));
    EXPECT_EQ(late, concat({zeros(88200), input}));

    const auto early =
        writeAndRead({part(path(QStringLiteral("in.wav")), -1.5)}, QStringLiteral("early.wav"));
    EXPECT_EQ(early, slice(input, 66150, n));

    const auto gone =
        writeAndRead({part(path(QStringLiteral("in.wav")), -10.0)}, QStringLiteral("gone.wav"));
    EXPECT_TRUE(gone.empty());
}

TEST_F(WriterTest, DriftStepInsertsOrSkipsFramesAtItsPosition) {
    const auto input = makeInput(QStringLiteral("in.wav"), loudNoise(3 * kRate, 2));
    const auto n = static_cast<std::int64_t>(input.size());
    // 0.012 s at 44.1 kHz is 529 frames; every window is loud, so the change happens at 1 s.
    const auto longer =
        writeAndRead({part(path(QStringLiteral("in.wav")), 0.0, {{0.0, 0.0}, {1.0, 0.012}})},
                     QStringLiteral("longer.wav"));
    EXPECT_EQ(longer, concat({slice(input, 0, kRate), zeros(529), slice(input, kRate, n)}));

    const auto shorter =
        writeAndRead({part(path(QStringLiteral("in.wav")), 0.0, {{0.0, 0.0}, {1.0, -0.012}})},
                     QStringLiteral("shorter.wav"));
    EXPECT_EQ(shorter, concat({slice(input, 0, kRate), slice(input, kRate + 529, n)}));

    // With a trim the correction's input position moves with it: 0.5 s dropped, change at 1.5 s.
    const auto trimmed =
        writeAndRead({part(path(QStringLiteral("in.wav")), -0.5, {{0.0, 0.0}, {1.0, 0.012}})},
                     QStringLiteral("trimmed.wav"));
    EXPECT_EQ(trimmed, concat({slice(input, 22050, 66150), zeros(529), slice(input, 66150, n)}));
}

TEST_F(WriterTest, JoinedPartsAreSortedByOffsetNeverOverlapAndGapsAreSilent) {
    const auto a = makeInput(QStringLiteral("a.wav"), loudNoise(kRate, 3));
    const auto b = makeInput(QStringLiteral("b.wav"), loudNoise(kRate, 4));
    const auto c = makeInput(QStringLiteral("c.wav"), loudNoise(kRate / 2, 5));
    const auto d = makeInput(QStringLiteral("d.wav"), loudNoise(kRate / 4, 6));
    // b starts inside a (appended after it); c follows a one-second gap; d shares c's offset
    // and keeps its place after c.
    const auto output = writeAndRead(
        {part(path(QStringLiteral("c.wav")), 3.0), part(path(QStringLiteral("b.wav")), 0.5),
         part(path(QStringLiteral("d.wav")), 3.0), part(path(QStringLiteral("a.wav")), 0.0)});
    EXPECT_EQ(output, concat({a, b, zeros(kRate), c, d}));
}

TEST_F(WriterTest, ChannelBeyondTheLastSelectsTheLast) {
    const auto left = loudNoise(kRate, 7);
    const auto right = test::speechLike(1.0, kRate, 8);
    const auto stereo = makeInput(QStringLiteral("st.wav"), test::interleave(left, right), 2);
    std::vector<float> wantLeft, wantRight;
    for (std::size_t i = 0; i + 1 < stereo.size(); i += 2) {
        wantLeft.push_back(stereo[i]);
        wantRight.push_back(stereo[i + 1]);
    }
    auto p = part(path(QStringLiteral("st.wav")), 0.0);
    p.channel = 5;
    EXPECT_EQ(writeAndRead({p}, QStringLiteral("five.wav")), wantRight);
    p.channel = 0;
    EXPECT_EQ(writeAndRead({p}, QStringLiteral("zero.wav")), wantLeft);
}

TEST_F(WriterTest, RightOnlyFileTakesItsCorrectionInAPauseOfTheRightSide) {
    // A file analysed from its right side: the left is silent, so a map taken from the left
    // would call everything quiet and cut mid-word.
    const auto speech = test::speechLike(20.0, kRate, 11);
    const auto stereo = makeInput(QStringLiteral("right.wav"),
                                  test::interleave(zeros(std::ssize(speech)), speech), 2);
    std::vector<float> right;
    for (std::size_t i = 1; i < stereo.size(); i += 2)
        right.push_back(stereo[i]);
    const auto windows = std::ssize(right) / kWindow;
    const auto quiet = [&](std::int64_t k) {
        double sum = 0.0;
        for (std::int64_t i = k * kWindow; i < (k + 1) * kWindow; ++i)
            sum += double(right[i]) * right[i];
        return std::sqrt(sum / kWindow) < 0.003;
    };
    // A nominal position in the middle of a loud stretch.
    std::int64_t centre = 10 * kRate / kWindow;
    while (quiet(centre) || quiet(centre - 1) || quiet(centre + 1))
        ++centre;
    std::int64_t place = -1;
    for (std::int64_t r = 0; r < windows && place < 0; ++r) {
        if (quiet(centre - r))
            place = centre - r;
        else if (quiet(centre + r))
            place = centre + r;
    }
    ASSERT_GE(place, 0);

    auto p = part(path(QStringLiteral("right.wav")), 0.0,
                  {{0.0, 0.0}, {double(centre * kWindow) / kRate, 0.012}});
    p.channel = 1;
    p.quietMapChannel = 1;
    const auto n = std::ssize(right);
    const auto output = writeAndRead({p});
    const auto at = [&](std::int64_t pos) {
        return concat({slice(right, 0, pos), zeros(529), slice(right, pos, n)});
    };
    EXPECT_EQ(output, at(place * kWindow));
    EXPECT_NE(output, at(centre * kWindow));
}

TEST_F(WriterTest, EmptyPartListFailsWithoutCreatingAFile) {
    const auto result = m_writer.write({}, path(QStringLiteral("out.wav")));
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().kind(), CorvaleError::Kind::cannotWriteAudio);
    EXPECT_EQ(result.error().errorDescription(),
              QStringLiteral("Cannot write audio: no parts to write"));
    EXPECT_TRUE(QDir(m_dir.path()).entryList(QDir::Files | QDir::Hidden).isEmpty());
}

TEST_F(WriterTest, FailuresLeaveNothingBehindAndKeepAnExistingFile) {
    makeInput(QStringLiteral("in.wav"), loudNoise(kRate, 9));
    QFile existing(path(QStringLiteral("out.wav")));
    ASSERT_TRUE(existing.open(QIODevice::WriteOnly));
    existing.write("keep me");
    existing.close();

    // A later part that cannot be opened fails the write after the first part was copied.
    const auto missing = m_writer.write(
        {part(path(QStringLiteral("in.wav")), 0.0), part(path(QStringLiteral("nope.wav")), 5.0)},
        path(QStringLiteral("out.wav")));
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.error().kind(), CorvaleError::Kind::passedOn);
    EXPECT_FALSE(missing.error().detail().isEmpty());

    std::stop_source stopped;
    stopped.request_stop();
    const auto cancelled = m_writer.write({part(path(QStringLiteral("in.wav")), 0.0)},
                                          path(QStringLiteral("out.wav")), stopped.get_token());
    ASSERT_FALSE(cancelled.ok());
    EXPECT_TRUE(cancelled.error().isCancellation());

    EXPECT_TRUE(partialFiles().isEmpty());
    ASSERT_TRUE(existing.open(QIODevice::ReadOnly));
    EXPECT_EQ(existing.readAll(), QByteArray("keep me"));

    const auto noFolder = m_writer.write({part(path(QStringLiteral("in.wav")), 0.0)},
                                         path(QStringLiteral("missing/out.wav")));
    ASSERT_FALSE(noFolder.ok());
    EXPECT_EQ(noFolder.error().kind(), CorvaleError::Kind::passedOn);
}

TEST_F(WriterTest, WriteCancelledMidWayLeavesNoOutputAndNoTemporaryFile) {
    makeInput(QStringLiteral("in.wav"), test::speechLike(30.0, kRate, 12));
    std::vector<SyncPart> parts;
    for (int i = 0; i < 10; ++i)
        parts.push_back(part(path(QStringLiteral("in.wav")), 30.0 * i));

    bool cancelledMidWay = false;
    // The stop is requested once the unfinished file exists; a loaded machine may let the write
    // finish first, so a few tries are allowed.
    for (int attempt = 0; attempt < 5 && !cancelledMidWay; ++attempt) {
        std::stop_source source;
        std::atomic<bool> finished = false;
        std::optional<Result<QString>> result;
        std::thread worker([&] {
            result.emplace(
                m_writer.write(parts, path(QStringLiteral("out.wav")), source.get_token()));
            finished = true;
        });
        while (!finished && partialFiles().isEmpty() && !test::unnamedFileSize(m_dir.path()))
            std::this_thread::yield();
        source.request_stop();
        worker.join();
        ASSERT_TRUE(result.has_value());
        if (result->ok()) {
            QFile::remove(path(QStringLiteral("out.wav")));
            continue;
        }
        EXPECT_TRUE(result->error().isCancellation());
        cancelledMidWay = true;
    }
    EXPECT_TRUE(cancelledMidWay);
    EXPECT_FALSE(QFile::exists(path(QStringLiteral("out.wav"))));
    EXPECT_TRUE(partialFiles().isEmpty());
}

TEST_F(WriterTest, SuccessfulWriteLeavesOnlyTheOutput) {
    makeInput(QStringLiteral("in.wav"), loudNoise(kRate, 13));
    writeAndRead({part(path(QStringLiteral("in.wav")), 1.0)});
    EXPECT_EQ(QDir(m_dir.path()).entryList(QDir::Files | QDir::Hidden),
              QStringList({QStringLiteral("in.wav"), QStringLiteral("out.wav")}));
}

TEST_F(WriterTest, TruncatedInputEndsItsPartWithoutError) {
    const auto input = makeInput(QStringLiteral("cut.wav"), loudNoise(2 * kRate, 14));
    QFile file(path(QStringLiteral("cut.wav")));
    const qint64 header = file.size() - qint64(input.size()) * 2;
    ASSERT_TRUE(file.resize(header + kRate * 2)); // one second of the two stays
    const auto next = makeInput(QStringLiteral("next.wav"), loudNoise(kRate / 2, 15));

    const auto output =
        writeAndRead({part(path(QStringLiteral("cut.wav")), 0.0, {{0.0, 0.0}, {1.5, 0.012}}),
                      part(path(QStringLiteral("next.wav")), 2.0)});
    EXPECT_EQ(output, concat({slice(input, 0, kRate), zeros(kRate), next}));
}

// Planning alone, on maps made by hand.

class PlanTest : public ::testing::Test {
protected:
    AudioOutputWriter m_writer;
    std::vector<bool> m_loud = std::vector<bool>(200000, false);
};

TEST_F(PlanTest, StepsBelowOneWindowAreIgnoredAndNotCarriedOver) {
    EXPECT_TRUE(m_writer.planCorrections({{0, 0}, {600, 440.0 / kRate}}, 0, m_loud, kRate).empty());
    EXPECT_EQ(m_writer.planCorrections({{0, 0}, {600, 441.0 / kRate}}, 0, m_loud, kRate),
              (std::vector<Correction>{{26460000, 441}}));
    // Two steps of 400 frames each add up to more than a window but neither is corrected.
    EXPECT_TRUE(
        m_writer
            .planCorrections({{0, 0}, {300, 400.0 / kRate}, {600, 800.0 / kRate}}, 0, m_loud, kRate)
            .empty());
    EXPECT_TRUE(m_writer.planCorrections({{0, 0}}, 0, m_loud, kRate).empty());
    EXPECT_TRUE(m_writer.planCorrections({{0, 0}, {600, 0.009}}, 0, m_loud, kRate).empty());
}

TEST_F(PlanTest, GrowingDriftInsertsSilenceAndShrinkingDriftSkipsFrames) {
    const std::vector<DriftPoint> points{{0, 0}, {600, 0.012}, {1200, 0.0}};
    EXPECT_EQ(m_writer.planCorrections(points, 0, m_loud, kRate),
              (std::vector<Correction>{{26460000, 529}, {52920000, -529}}));
    // The trim shifts every nominal position into input frames.
    EXPECT_EQ(m_writer.planCorrections(points, 66150, m_loud, kRate),
              (std::vector<Correction>{{26526150, 529}, {52986150, -529}}));
}

TEST_F(PlanTest, UnsortedPointsGiveTheSameCorrections) {
    std::vector<bool> map(200000, false);
    for (std::size_t k = 59100; k < 59120; ++k)
        map[k] = true;
    const std::vector<DriftPoint> sorted{{0, 0}, {300, 0.1}, {600, 0.25}, {900, 0.2}};
    const std::vector<DriftPoint> shuffled{{600, 0.25}, {0, 0}, {900, 0.2}, {300, 0.1}};
    const auto expected = m_writer.planCorrections(sorted, 1000, map, kRate);
    EXPECT_EQ(expected.size(), 3u);
    EXPECT_EQ(m_writer.planCorrections(shuffled, 1000, map, kRate), expected);
}

TEST_F(PlanTest, QuietSearchTakesTheNearestRunAndTheEarlierOnTies) {
    const std::int64_t c = 1000;
    const std::int64_t nominal = c * kWindow + 200;
    std::vector<bool> map(3000, false);
    map[c - 3] = map[c + 3] = true;
    EXPECT_EQ(m_writer.findQuietPosition(nominal, 529, map), (c - 3) * kWindow);
    map[c + 2] = true;
    EXPECT_EQ(m_writer.findQuietPosition(nominal, 529, map), (c + 2) * kWindow);
    // Two windows needed: single quiet windows no longer qualify, a pair further out does.
    map[c + 2] = false;
    map[c + 40] = map[c + 41] = true;
    EXPECT_EQ(m_writer.findQuietPosition(nominal, 2 * kWindow + 5, map), (c + 40) * kWindow);
    // Runs must fit inside the map.
    std::vector<bool> edge(10, false);
    edge[9] = true;
    EXPECT_EQ(m_writer.findQuietPosition(9 * kWindow, kWindow, edge), 9 * kWindow);
    EXPECT_EQ(m_writer.findQuietPosition(9 * kWindow, 2 * kWindow, edge), std::nullopt);
}

TEST_F(PlanTest, NoQuietPlaceWithinTheRadiusKeepsTheNominalPosition) {
    EXPECT_EQ(m_writer.planCorrections({{0, 0}, {600, 0.012}}, 0, m_loud, kRate),
              (std::vector<Correction>{{26460000, 529}}));
    // Quiet only just beyond the radius (1500 windows) and beyond the map's end.
    std::vector<bool> map(100000, false);
    const std::int64_t c = 60000;
    map[c - 1501] = map[c + 1501] = true;
    EXPECT_EQ(m_writer.findQuietPosition(c * kWindow, 529, map), std::nullopt);
    map[c + 1500] = true;
    EXPECT_EQ(m_writer.findQuietPosition(c * kWindow, 529, map), (c + 1500) * kWindow);
    EXPECT_EQ(m_writer.findQuietPosition(200000 * kWindow, 529, map), std::nullopt);
}

// Converted files are 16-bit and move as integers; any other input goes through floats. Both
// must write the same output for the same sample values, corrections included.
TEST_F(WriterTest, FloatAndSixteenBitInputsWriteTheSameOutput) {
    const auto stereo = makeInput(
        QStringLiteral("pcm16.wav"),
        test::interleave(test::speechLike(20.0, kRate, 3), test::speechLike(20.0, kRate, 4)), 2);
    SF_INFO info{};
    info.samplerate = kRate;
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* f =
        sf_open(QFile::encodeName(path(QStringLiteral("float.wav"))).constData(), SFM_WRITE, &info);
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(sf_writef_float(f, stereo.data(), sf_count_t(stereo.size() / 2)),
              sf_count_t(stereo.size() / 2));
    sf_close(f);

    const std::vector<DriftPoint> drift{{0.0, 0.0}, {6.0, 0.03}, {12.0, -0.02}, {18.0, 0.01}};
    for (std::int64_t channel : {0, 1}) {
        SyncPart fromPcm = part(path(QStringLiteral("pcm16.wav")), -0.7, drift);
        SyncPart fromFloat = part(path(QStringLiteral("float.wav")), -0.7, drift);
        fromPcm.channel = fromFloat.channel = channel;
        fromPcm.quietMapChannel = fromFloat.quietMapChannel = channel;
        const auto a = writeAndRead({fromPcm}, QStringLiteral("a%1.wav").arg(channel));
        const auto b = writeAndRead({fromFloat}, QStringLiteral("b%1.wav").arg(channel));
        EXPECT_EQ(a, b) << "channel " << channel;
        EXPECT_NE(a.size(), stereo.size() / 2 - std::size_t(0.7 * kRate)); // corrections applied
    }
}

TEST_F(WriterTest, QuietMapMadeEarlierIsUsedOnlyWhenItFitsTheInput) {
    // A faint hiss keeps pauses quiet but tells apart where in a pause a correction goes.
    auto input = test::speechLike(30.0, kRate, 9);
    const auto hiss = loudNoise(std::int64_t(input.size()), 5);
    for (std::size_t i = 0; i < input.size(); ++i)
        input[i] += 0.002f * hiss[i];
    makeInput(QStringLiteral("in.wav"), input);
    const std::vector<DriftPoint> drift{{0.0, 0.0}, {10.0031, 0.05}, {20.0077, 0.1}};
    SyncPart plain = part(path(QStringLiteral("in.wav")), 0.0, drift);
    const auto reference = writeAndRead({plain}, QStringLiteral("plain.wav"));

    SyncPart withOwnMap = plain;
    const auto map = m_writer.quietMap(path(QStringLiteral("in.wav")), 0);
    ASSERT_TRUE(map.ok());
    withOwnMap.quietMap = std::make_shared<const std::vector<bool>>(map.value());
    EXPECT_EQ(writeAndRead({withOwnMap}, QStringLiteral("own.wav")), reference);

    // An all-loud map keeps every correction at its nominal place, so it shows when it is used.
    SyncPart allLoud = plain;
    allLoud.quietMap = std::make_shared<const std::vector<bool>>(map.value().size(), false);
    EXPECT_NE(writeAndRead({allLoud}, QStringLiteral("loud.wav")), reference);
    SyncPart wrongSize = plain;
    wrongSize.quietMap = std::make_shared<const std::vector<bool>>(map.value().size() - 1, false);
    EXPECT_EQ(writeAndRead({wrongSize}, QStringLiteral("wrong.wav")), reference);
}

// Converted files are 16-bit mono stretches the kernel copies; what it cannot copy (one side
// of a stereo file) goes through the loop. Either way every byte, header included, must be
// what the loop alone writes.
TEST_F(WriterTest, KernelCopyWritesTheSameBytesAsTheLoop) {
    makeInput(QStringLiteral("track.wav"), test::speechLike(20.0, kRate, 21));
    makeInput(QStringLiteral("part2.wav"), test::speechLike(8.0, kRate, 22));
    makeInput(
        QStringLiteral("split.wav"),
        test::interleave(test::speechLike(20.0, kRate, 23), test::speechLike(20.0, kRate, 24)), 2);
    const std::vector<DriftPoint> drift{{0.0, 0.0}, {6.0, 0.03}, {12.0, -0.02}, {18.0, 0.01}};
    SyncPart left = part(path(QStringLiteral("split.wav")), 1.3, drift);
    SyncPart right = left;
    right.channel = 1;
    const SyncPart track = part(path(QStringLiteral("track.wav")), -0.7, drift);
    const std::vector<std::pair<QString, std::vector<SyncPart>>> outputs{
        {QStringLiteral("track"), {track}},
        {QStringLiteral("left"), {left}},
        {QStringLiteral("right"), {right}},
        {QStringLiteral("merged"),
         {part(path(QStringLiteral("track.wav")), 0.4, drift),
          part(path(QStringLiteral("part2.wav")), 23.0, {{0.0, 0.0}, {4.0, -0.02}})}},
        // The library writes on after frames the kernel copied, and the reverse.
        {QStringLiteral("mixed"), {track, left, part(path(QStringLiteral("part2.wav")), 2.0)}},
    };
    AudioOutputWriter loop;
    loop.copying = AudioOutputWriter::Copying::throughBuffers;
    const auto bytes = [](const QString& file) {
        QFile f(file);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    };
    for (const auto& [name, parts] : outputs) {
        const QString kernel = path(name + QStringLiteral("-kernel.wav"));
        const QString buffers = path(name + QStringLiteral("-loop.wav"));
        ASSERT_TRUE(m_writer.write(parts, kernel).ok()) << qPrintable(name);
        ASSERT_TRUE(loop.write(parts, buffers).ok()) << qPrintable(name);
        const QByteArray written = bytes(kernel);
        EXPECT_GT(written.size(), 44 + 2 * 8 * kRate) << qPrintable(name);
        EXPECT_TRUE(written == bytes(buffers)) << qPrintable(name) << " differs";
    }
}
TEST_F(WriterTest, PublishingNeverReplacesAndAFailedRenameLeavesNothing) {
    makeInput(QStringLiteral("in.wav"), loudNoise(kRate, 9));
    const SyncPart input = part(path(QStringLiteral("in.wav")), 0.0);
    QFile taken(path(QStringLiteral("out.wav")));
    ASSERT_TRUE(taken.open(QIODevice::WriteOnly));
    taken.write("keep me");
    taken.close();
    // Without a next name the write fails rather than replace; with one it is used.
    const auto refused = m_writer.write({input}, path(QStringLiteral("out.wav")));
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().kind(), CorvaleError::Kind::cannotWriteAudio);
    const auto moved = m_writer.write({input}, path(QStringLiteral("out.wav")), {}, [&] {
        return std::optional(path(QStringLiteral("o2.wav")));
    });
    ASSERT_TRUE(moved.ok());
    EXPECT_EQ(moved.value(), path(QStringLiteral("o2.wav")));
    // The next name lies in a folder that is gone: the rename fails and nothing is left.
    const auto lost = m_writer.write({input}, path(QStringLiteral("out.wav")), {}, [&] {
        return std::optional(path(QStringLiteral("gone/o3.wav")));
    });
    ASSERT_FALSE(lost.ok());
    SyncPart nowhere = input;
    nowhere.offsetSeconds = std::numeric_limits<double>::quiet_NaN();
    const auto undefined = m_writer.write({nowhere}, path(QStringLiteral("nan.wav")));
    ASSERT_FALSE(undefined.ok());
    EXPECT_EQ(undefined.error().kind(), CorvaleError::Kind::cannotWriteAudio);
    EXPECT_TRUE(partialFiles().isEmpty());
    ASSERT_TRUE(taken.open(QIODevice::ReadOnly));
    EXPECT_EQ(taken.readAll(), QByteArray("keep me"));
}
