// SPDX-License-Identifier: GPL-3.0-or-later
#include "sessionfixture.h"

#include "session/colorlabel.h"
#include "session/processingrun.h"
#include "support/stereopair.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <cmath>

using namespace corvale;
using namespace corvale::test;

namespace {

// Pearson correlation of a and b over [from, from + count).
double correlation(const std::vector<float>& a, const std::vector<float>& b, std::int64_t from,
                   std::int64_t count) {
    double ab = 0, aa = 0, bb = 0;
    for (std::int64_t i = from; i < from + count; ++i) {
        const double x = i < std::int64_t(a.size()) ? a[std::size_t(i)] : 0.0;
        const double y = i < std::int64_t(b.size()) ? b[std::size_t(i)] : 0.0;
        ab += x * y;
        aa += x * x;
        bb += y * y;
    }
    return aa > 0 && bb > 0 ? ab / std::sqrt(aa * bb) : 0.0;
}

std::vector<float> readMono(const QString& path, int* rate = nullptr) {
    const WavContents wav = readWav(path);
    EXPECT_TRUE(wav.ok) << path.toStdString();
    EXPECT_EQ(wav.channels, 1);
    if (rate)
        *rate = wav.sampleRate;
    return wav.samples;
}

int ffmpegChildren() {
    int count = 0;
    for (const QString& pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        const QList<QByteArray> fields = stat.readAll().split(' ');
        if (fields.size() > 3 && fields[1].contains("ffmpeg") &&
            fields[3].toLongLong() == QCoreApplication::applicationPid())
            ++count;
    }
    return count;
}

using ProcessingRunTest = SessionFixture;

} // namespace

TEST_F(ProcessingRunTest, MixedSessionWritesAlignedMergedAndSplitOutputs) {
    const QString reference = writeEncoded(QStringLiteral("ref.flac"), demo::mix(m_voices, 0.7f));
    const QString ann = writeEncoded(QStringLiteral("Ann - local.m4a"), take(0, 5.0, 80.0));
    const QString bo1 = writeMono(QStringLiteral("Bo part 1.wav"), take(1, 2.0, 40.0));
    const QString bo2 = writeMono(QStringLiteral("Bo part 2.wav"), take(1, 43.0, 47.0));
    const QString duo =
        writeStereo(QStringLiteral("Duo.wav"), take(1, -3.0, 93.0), take(2, -3.0, 93.0));
    // An earlier output under Ann's name is kept; the new one takes the next free name.
    QDir().mkpath(outputDir());
    ASSERT_TRUE(
        writeWav(QDir(outputDir()).filePath("Ann-synced.wav"), std::vector<float>(10), 1, kRate));
    choose(reference, {ann, bo1, bo2, duo});

    ASSERT_TRUE(runToEnd());
    EXPECT_EQ(session().statusMessage(),
              QStringLiteral("Finished in %1 — 4 synced").arg(*session().elapsedTime()));
    EXPECT_DOUBLE_EQ(session().overallProgress(), 1.0);
    EXPECT_FALSE(session().isProcessing());
    EXPECT_EQ(m_host.sounds, QStringList{QStringLiteral("Glass")});

    const QDir out(outputDir());
    EXPECT_NEAR(resultOf(0).offsetSeconds, 5.0, 0.1);
    EXPECT_EQ(resultOf(0).outputURL.toLocalFile(), out.filePath("Ann-2-synced.wav"));
    EXPECT_EQ(readWav(out.filePath("Ann-synced.wav")).frames, 10);

    EXPECT_NEAR(resultOf(1).offsetSeconds, 2.0, 1e-5); // to a fraction of a sample
    EXPECT_NEAR(resultOf(2).offsetSeconds, 43.0, 1e-5);
    EXPECT_EQ(resultOf(1).mergedPartCount, 2);
    EXPECT_EQ(resultOf(1).outputURL.toLocalFile(), out.filePath("Bo-synced.wav"));
    EXPECT_EQ(resultOf(2).outputURL, resultOf(1).outputURL);
    // The merged output holds both parts where they belong on the reference's timeline.
    const std::vector<float> bo = readMono(out.filePath("Bo-synced.wav"));
    EXPECT_GT(correlation(bo, m_voices[1], frames(5), frames(30)), 0.99);
    EXPECT_GT(correlation(bo, m_voices[1], frames(50), frames(30)), 0.99);

    EXPECT_NEAR(resultOf(3).offsetSeconds, -3.0, 1e-5);
    ASSERT_TRUE(resultOf(3).outputURLRight.has_value());
    EXPECT_EQ(resultOf(3).outputURL.toLocalFile(), out.filePath("Duo-L-synced.wav"));
    EXPECT_EQ(resultOf(3).outputURLRight->toLocalFile(), out.filePath("Duo-R-synced.wav"));
    const std::vector<float> right = readMono(out.filePath("Duo-R-synced.wav"));
    EXPECT_GT(correlation(right, m_voices[2], frames(1), frames(60)), 0.99);
    EXPECT_EQ(statusText(item(3).status()), QStringLiteral("Done — 3.00s early · L/R split"));

    // The flac reference is copied as a WAV beside the outputs.
    int rate = 0;
    EXPECT_EQ(readMono(out.filePath("ref.wav"), &rate).size(), std::size_t(frames(kLength)));
    EXPECT_EQ(rate, kRate);
    EXPECT_TRUE(runTempFolders().isEmpty());
}

// A field recorder's spaced pair: one voice, the right microphone 0.5 ms later, each capsule
// with its own colour and noise. One person, one output.
TEST_F(ProcessingRunTest, OneVoiceOnASpacedPairGivesOneOutput) {
    const QString reference = referenceMix();
    const auto pair = oneVoicePair(take(1, 4.0, 60.0), kRate, 0.5, 3);
    choose(reference, {writeStereo(QStringLiteral("Field.wav"), pair.left, pair.right)});
    ASSERT_TRUE(runToEnd());

    const QDir out(outputDir());
    EXPECT_FALSE(resultOf(0).outputURLRight.has_value());
    EXPECT_EQ(resultOf(0).outputURL.toLocalFile(), out.filePath("Field-synced.wav"));
    EXPECT_EQ(out.entryList(QDir::Files), QStringList{"Field-synced.wav"});
    EXPECT_NEAR(resultOf(0).offsetSeconds, 4.0, 1e-4);
    const std::vector<float> written = readMono(out.filePath("Field-synced.wav"));
    EXPECT_GT(correlation(written, m_voices[1], frames(10), frames(40)), 0.9);
}

TEST_F(ProcessingRunTest, MonoWavReferenceIsNotCopied) {
    const QString reference = referenceMix();
    choose(reference, {writeMono(QStringLiteral("a.wav"), take(0, 1.0, 60.0))});
    ASSERT_TRUE(runToEnd());
    EXPECT_EQ(QDir(outputDir()).entryList(QDir::Files), QStringList{"a-synced.wav"});
}

TEST_F(ProcessingRunTest, FileThatCannotBeConvertedFailsAloneAndProgressStopsShort) {
    const QString reference = referenceMix();
    QFile junk(path(QStringLiteral("junk.wav")));
    ASSERT_TRUE(junk.open(QIODevice::WriteOnly));
    junk.write("this is not audio");
    junk.close();
    choose(reference, {writeMono(QStringLiteral("a.wav"), take(0, 1.0, 60.0)), junk.fileName(),
                       writeMono(QStringLiteral("b.wav"), take(1, 2.0, 60.0))});
    ASSERT_TRUE(runToEnd());
    EXPECT_TRUE(item(0).status().is(ProcessingStatus::Kind::complete));
    ASSERT_TRUE(item(1).status().is(ProcessingStatus::Kind::failed));
    // The failure names the step and the path.
    EXPECT_TRUE(item(1).status().failureMessage().startsWith(QStringLiteral("Cannot convert ") +
                                                             junk.fileName() + ": "));
    EXPECT_GT(item(1).status().failureMessage().size(), 20);
    EXPECT_TRUE(item(2).status().is(ProcessingStatus::Kind::complete));
    // The conversions count as one step, then each file an analysis and a write.
    EXPECT_NEAR(session().overallProgress(), 6.0 / 7.0, 1e-9);
    EXPECT_TRUE(session().statusMessage().endsWith(QStringLiteral(" — 2 synced · 1 failed")));
    // A file whose rate cannot be read does not raise the session's rate.
    EXPECT_EQ(readWav(resultOf(0).outputURL.toLocalFile()).sampleRate, kRate);
}

TEST_F(ProcessingRunTest, ReferenceThatCannotBeConvertedEndsTheRunWithTheToolsText) {
    QFile junk(path(QStringLiteral("ref.m4a")));
    ASSERT_TRUE(junk.open(QIODevice::WriteOnly));
    junk.write("junk");
    junk.close();
    choose(junk.fileName(), {writeMono(QStringLiteral("a.wav"), take(0, 1.0, 30.0))});
    ASSERT_TRUE(runToEnd());
    const QString status = session().statusMessage();
    EXPECT_TRUE(
        status.startsWith(QStringLiteral("Reference conversion failed: Conversion failed: ")))
        << status.toStdString();
    EXPECT_GT(status.size(), 50);
    EXPECT_TRUE(session().elapsedTime().has_value());
    EXPECT_EQ(m_host.sounds.size(), 1);
    EXPECT_FALSE(QFileInfo::exists(QDir(outputDir()).filePath("a-synced.wav")));
    EXPECT_TRUE(runTempFolders().isEmpty());
    // The track says why it did not run, and the reference zone can say what went wrong.
    ASSERT_TRUE(item(0).status().is(ProcessingStatus::Kind::failed));
    EXPECT_TRUE(item(0).status().failureMessage().startsWith(QStringLiteral("Cannot convert ") +
                                                             junk.fileName()));
    EXPECT_EQ(session().referenceProblem(), item(0).status().failureMessage());
}

TEST_F(ProcessingRunTest, CancelDuringAnalysisLeavesNothingRunning) {
    choose(referenceMix(), {writeMono(QStringLiteral("a.wav"), take(0, 1.0, 80.0)),
                            writeEncoded(QStringLiteral("b.mp3"), take(1, 1.0, 80.0))});
    bool cancelled = false;
    QObject::connect(session().individualFiles()[0], &AudioFileItem::statusChanged, [&] {
        if (!cancelled && item(0).status().is(ProcessingStatus::Kind::analyzing)) {
            cancelled = true;
            session().cancelProcessing();
        }
    });
    ASSERT_TRUE(runToEnd());
    ASSERT_TRUE(cancelled);
    EXPECT_FALSE(session().elapsedTime().has_value());
    EXPECT_TRUE(item(0).status().is(ProcessingStatus::Kind::cancelled));
    // b joins no other file, so it is written as soon as it is analysed: the cancel may come
    // after its output is complete, which then stays and is reported.
    if (item(1).status().is(ProcessingStatus::Kind::cancelled)) {
        EXPECT_EQ(session().statusMessage(), QStringLiteral("Cancelled"));
    } else {
        EXPECT_EQ(session().statusMessage(), QStringLiteral("Cancelled — 1 synced · 1 cancelled"));
        EXPECT_EQ(resultOf(1).outputURL.toLocalFile(),
                  QDir(outputDir()).filePath(QStringLiteral("b-synced.wav")));
        EXPECT_GT(readWav(resultOf(1).outputURL.toLocalFile()).frames, frames(79.0));
    }
    EXPECT_EQ(ffmpegChildren(), 0);
    EXPECT_TRUE(runTempFolders().isEmpty());
    EXPECT_TRUE(m_host.sounds.isEmpty());
    EXPECT_FALSE(QFileInfo::exists(QDir(outputDir()).filePath("a-synced.wav")));
}

TEST_F(ProcessingRunTest, CancelDuringConversionReportsCancelledAndBlocksANewRunUntilItEnds) {
    choose(referenceMix(), {writeMono(QStringLiteral("a.wav"), take(0, 1.0, 80.0))});
    bool cancelled = false;
    QObject::connect(&session(), &AppViewModel::statusMessageChanged, [&] {
        if (!cancelled && session().statusMessage() == QStringLiteral("Converting…")) {
            cancelled = true;
            session().cancelProcessing();
            // The cancelled run still owns its files and names until it has wound down.
            EXPECT_FALSE(session().isProcessing());
            EXPECT_FALSE(session().canSync());
            session().startProcessing();
            EXPECT_TRUE(session().runUnderWay());
            session().resetSession();
            session().clearIndividualFiles();
            EXPECT_EQ(session().individualFiles().size(), 1);
        }
    });
    QSignalSpy canSyncChanges(&session(), &AppViewModel::canSyncChanged);
    ASSERT_TRUE(runToEnd());
    ASSERT_TRUE(cancelled);
    EXPECT_EQ(session().statusMessage(), QStringLiteral("Cancelled"));
    EXPECT_TRUE(session().canSync());
    EXPECT_EQ(m_runsEnded, 1);
    EXPECT_EQ(ffmpegChildren(), 0);
    EXPECT_TRUE(runTempFolders().isEmpty());
}

TEST_F(ProcessingRunTest, TemporaryFolderIsPrivateToTheUser) {
    choose(referenceMix(), {writeMono(QStringLiteral("a.wav"), take(0, 1.0, 30.0))});
    QFile::Permissions seen;
    QObject::connect(&session(), &AppViewModel::statusMessageChanged, [&] {
        const QStringList folders = runTempFolders();
        if (!folders.isEmpty())
            seen = QFileInfo(QDir(tempRoot()).filePath(folders.front())).permissions();
    });
    ASSERT_TRUE(runToEnd());
    EXPECT_TRUE(seen & QFile::ReadOwner);
    EXPECT_FALSE(seen & (QFile::ReadGroup | QFile::ReadOther | QFile::ExeGroup | QFile::ExeOther));
}

TEST_F(ProcessingRunTest, GuestOnTheRightOfAStereoCallIsFound) {
    // Host left, guest right: the guest's own track must be found in the call.
    const QString reference = writeStereo(QStringLiteral("call.wav"), m_voices[0], m_voices[1]);
    choose(reference, {writeMono(QStringLiteral("guest.wav"), take(1, 4.0, 80.0))});
    ASSERT_TRUE(runToEnd());
    EXPECT_NEAR(resultOf(0).offsetSeconds, 4.0, 1e-5);
    EXPECT_NE(resultOf(0).confidenceBand, ConfidenceBand::low);
    // A stereo reference is copied with both voices.
    EXPECT_EQ(readWav(QDir(outputDir()).filePath("call.wav")).channels, 2);
}

TEST_F(ProcessingRunTest, OutputsKeepTheHighestRateOfTheSession) {
    // A narrow-band call must not lower the rate of the studio track.
    std::vector<float> narrow;
    const std::vector<float> full = demo::mix(m_voices, 0.7f);
    for (std::size_t i = 0; i < full.size(); i += 2)
        narrow.push_back(full[i]);
    const QString reference = writeMono(QStringLiteral("call.wav"), narrow, kRate / 2);
    choose(reference, {writeMono(QStringLiteral("studio.wav"), take(0, 3.0, 60.0))});
    ASSERT_TRUE(runToEnd());
    EXPECT_NEAR(resultOf(0).offsetSeconds, 3.0, 1e-5);
    int rate = 0;
    const auto out = readMono(resultOf(0).outputURL.toLocalFile(), &rate);
    EXPECT_EQ(rate, kRate);
    EXPECT_GT(correlation(out, m_voices[0], frames(5), frames(40)), 0.99);
}

TEST_F(ProcessingRunTest, NormalisationAndLabelsFinishEveryOutput) {
    Preferences::setOverride(QStringLiteral("normalizeLoudness"), true);
    Preferences::setOverride(QStringLiteral("targetLUFS"), -16.0);
    Preferences::setOverride(QStringLiteral("finderLabelEnabled"), true);
    Preferences::setOverride(QStringLiteral("finderLabelNumber"), 2);
    choose(referenceMix(), {writeMono(QStringLiteral("a.wav"), take(0, 1.0, 60.0))});
    ASSERT_TRUE(runToEnd());
    // The figure reported is the one the published file has.
    const QString output = resultOf(0).outputURL.toLocalFile();
    ASSERT_TRUE(resultOf(0).normalizedLUFS.has_value());
    EXPECT_NEAR(*resultOf(0).normalizedLUFS, -16.0, 0.5);
    EXPECT_NEAR(*resultOf(0).normalizedLUFS, ffmpegLoudness(output, FFmpegLoudness::ebur128), 0.1);
    EXPECT_NEAR(ffmpegLoudness(output, FFmpegLoudness::loudnorm), -16.0, 0.5);
    EXPECT_TRUE(statusText(item(0).status()).endsWith(QStringLiteral(" · Normalized to -16 LUFS")));
    const QString label = colorLabelOf(output);
    if (!label.isEmpty()) { // file systems without extended attributes keep no label
        EXPECT_EQ(label, QStringLiteral("Green"));
    }
    EXPECT_EQ(QDir(outputDir()).entryList(QDir::Files | QDir::Hidden), QStringList{"a-synced.wav"});
}

TEST_F(ProcessingRunTest, HeadlessRunsQuitOrRestoreWhenTheyEnd) {
    choose(referenceMix(), {writeMono(QStringLiteral("a.wav"), take(0, 1.0, 30.0))});
    session().setHeadlessMode(true);
    ASSERT_TRUE(runToEnd());
    EXPECT_EQ(m_host.quits, 0);
    ASSERT_TRUE(waitUntil([&] { return m_host.quits == 1; }, 5000));
    EXPECT_FALSE(session().headlessMode());

    int restored = 0;
    session().setHeadlessMode(true);
    session().setRestoreAfterHeadless([&] { ++restored; });
    bool cancelled = false;
    QObject::connect(&session(), &AppViewModel::statusMessageChanged, [&] {
        if (!cancelled && session().statusMessage() == QStringLiteral("Converting…")) {
            cancelled = true;
            session().cancelProcessing();
        }
    });
    ASSERT_TRUE(runToEnd());
    // A cancelled headless run restores at once, without the 1.5 s pause.
    EXPECT_EQ(restored, 1);
    EXPECT_EQ(m_host.quits, 1);
}

TEST_F(ProcessingRunTest, QuittingDuringARunEndsItsChildrenAndLeavesNoPartialFiles) {
    // A flac reference is copied to the output folder while the files are still converting.
    choose(writeEncoded(QStringLiteral("ref.flac"), demo::mix(m_voices, 0.7f)),
           {writeMono(QStringLiteral("a.wav"), take(0, 1.0, 80.0)),
            writeEncoded(QStringLiteral("b.m4a"), take(1, 1.0, 80.0))});
    bool quit = false;
    QObject::connect(&session(), &AppViewModel::statusMessageChanged, [&] {
        if (!quit && session().statusMessage() == QStringLiteral("Loading reference audio…"))
            quit = true;
    });
    session().startProcessing();
    ASSERT_TRUE(waitUntil([&] { return quit; }, 60000));
    m_session.reset(); // the way out of the application
    EXPECT_EQ(ffmpegChildren(), 0);
    EXPECT_TRUE(runTempFolders().isEmpty());
    // A reference copy that finished before the quit stays; nothing unfinished does.
    const QStringList left = QDir(outputDir()).entryList(QDir::Files | QDir::Hidden);
    EXPECT_TRUE(left.isEmpty() || left == QStringList{QStringLiteral("ref.wav")})
        << left.join(' ').toStdString();
    if (left.contains(QStringLiteral("ref.wav"))) {
        EXPECT_EQ(readWav(QDir(outputDir()).filePath("ref.wav")).frames, frames(kLength));
    }
}

// Cy joins no other file, so it is written as soon as it is analysed, beside Bo's parts, which
// wait for each other to be grouped. Every file still goes through the same steps, the
// progress only grows, and a written file's converted copy is gone by the time it is done.
TEST_F(ProcessingRunTest, AFileNoOtherCanJoinIsWrittenAsSoonAsItIsAnalysed) {
    const QString bo1 = writeMono(QStringLiteral("Bo part 1.wav"), take(1, 2.0, 40.0));
    const QString bo2 = writeMono(QStringLiteral("Bo part 2.wav"), take(1, 43.0, 47.0));
    const QString cy = writeMono(QStringLiteral("Cy.wav"), take(2, 10.0, 30.0));
    choose(referenceMix(), {bo1, bo2, cy});
    std::vector<std::vector<ProcessingStatus::Kind>> steps(3);
    bool cyConvertedCopyGone = false;
    for (qsizetype i = 0; i < 3; ++i) {
        QObject::connect(session().individualFiles()[i], &AudioFileItem::statusChanged, [&, i] {
            auto& seen = steps[std::size_t(i)];
            const ProcessingStatus::Kind kind = item(i).status().kind();
            if (seen.empty() || seen.back() != kind)
                seen.push_back(kind);
            if (i == 2 && kind == ProcessingStatus::Kind::complete) {
                const QStringList folders = runTempFolders();
                cyConvertedCopyGone =
                    folders.size() == 1 && QDir(QDir(tempRoot()).filePath(folders.front()))
                                               .entryList({QStringLiteral("*_ind2*")}, QDir::Files)
                                               .isEmpty();
            }
        });
    }
    double progress = 0.0;
    bool monotonic = true;
    QObject::connect(&session(), &AppViewModel::overallProgressChanged, [&] {
        monotonic = monotonic && session().overallProgress() >= progress;
        progress = session().overallProgress();
    });

    ASSERT_TRUE(runToEnd());
    using K = ProcessingStatus::Kind;
    const std::vector<K> expected{K::converting, K::analyzing, K::processing, K::complete};
    for (const auto& seen : steps)
        EXPECT_EQ(seen, expected);
    EXPECT_TRUE(monotonic);
    EXPECT_DOUBLE_EQ(progress, 1.0);
    EXPECT_TRUE(cyConvertedCopyGone);
    const QDir out(outputDir());
    EXPECT_EQ(resultOf(0).outputURL.toLocalFile(), out.filePath("Bo-synced.wav"));
    EXPECT_EQ(resultOf(1).mergedPartCount, 2);
    EXPECT_EQ(resultOf(2).outputURL.toLocalFile(), out.filePath("Cy-synced.wav"));
    EXPECT_NEAR(resultOf(2).offsetSeconds, 10.0, 1e-5);
    EXPECT_TRUE(runTempFolders().isEmpty());
}

// Quit holds the window for one bounded wait, whatever it is given and however stubborn the
// tools: a converter that ignores SIGTERM is killed within the limit.
TEST(RunShutdown, KeepsOneDeadlineForTheWholeWayOut) {
    QTemporaryDir dir;
    const QString reference = dir.filePath(QStringLiteral("ref.wav"));
    ASSERT_TRUE(writeWav(reference, std::vector<float>(16000, 0.1f), 1, 16000));
    const QString marks = dir.filePath(QStringLiteral("started"));
    const QString tool = makeFakeTool(
        dir.path(), QStringLiteral("ffmpeg"),
        QStringLiteral("trap '' TERM\necho >> '%1'\nwhile :; do sleep 1; done").arg(marks));
    RunController runs;
    ASSERT_TRUE(runs.start({{QUrl::fromLocalFile(reference)},
                            QUrl::fromLocalFile(reference),
                            dir.path(),
                            tool,
                            RunSettings{}}));
    const auto started = [&] {
        QFile file(marks);
        return file.open(QIODevice::ReadOnly) && file.readAll().count('\n') == 2;
    };
    ASSERT_TRUE(waitUntil(started, 30000));
    QElapsedTimer elapsed;
    elapsed.start();
    runs.shutdown(QDeadlineTimer(60000));
    EXPECT_LE(elapsed.elapsed(), RunController::kMaxShutdownMs + 1000);
    EXPECT_EQ(ffmpegChildren(), 0);
}

TEST_F(ProcessingRunTest, ConversionsWaitInLineAndACancelEndsThoseStillWaiting) {
    QStringList inputs;
    for (int i = 0; i < 4; ++i)
        inputs << writeEncoded(QStringLiteral("s%1.mp3").arg(i), take(i % 3, 1.0 + i, 60.0));
    choose(referenceMix(), inputs);
    int mostConversions = 0;
    bool cancelled = false;
    for (qsizetype i = 0; i < inputs.size(); ++i) {
        QObject::connect(session().individualFiles()[i], &AudioFileItem::statusChanged, [&, i] {
            mostConversions = std::max(mostConversions, ffmpegChildren());
            if (!cancelled && item(i).status().is(ProcessingStatus::Kind::analyzing)) {
                cancelled = true;
                session().cancelProcessing();
            }
        });
    }
    ASSERT_TRUE(runToEnd());
    ASSERT_TRUE(cancelled);
    EXPECT_LE(mostConversions, conversionSlots());
    for (qsizetype i = 0; i < inputs.size(); ++i) {
        const bool synced = item(i).status().is(ProcessingStatus::Kind::complete);
        EXPECT_TRUE(synced || item(i).status().is(ProcessingStatus::Kind::cancelled)) << i;
        EXPECT_EQ(
            QFileInfo::exists(QDir(outputDir()).filePath(QStringLiteral("s%1-synced.wav").arg(i))),
            synced)
            << i;
    }
    EXPECT_EQ(ffmpegChildren(), 0);
    EXPECT_TRUE(runTempFolders().isEmpty());
}
