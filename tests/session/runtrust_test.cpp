// SPDX-License-Identifier: GPL-3.0-or-later
// A run never replaces a file, never leaves one half-written, and never reports a failure as
// success.
#include "sessionfixture.h"

#include "session/processingrun.h"
#include "session/runcontroller.h"
#include "session/runfolder.h"
#include "session/runwork.h"

#include <QFileInfo>
#include <QPointer>
#include <QProcess>
#include <QTimer>

#include <ctime>

#include <sys/mount.h>
#include <sys/time.h>
#include <unistd.h>

using namespace corvale;
using namespace corvale::test;

namespace {

class RunTrust : public SessionFixture {
protected:
    // Every outcome the session announced, and what the window showed at that moment.
    struct Ended {
        RunOutcome outcome;
        QString status;
        bool hadElapsed;
        int sounds;
    };
    void watchEnd() {
        QObject::connect(&session(), &AppViewModel::runEnded, [this](RunOutcome outcome) {
            m_ended.push_back({outcome, session().statusMessage(),
                               session().elapsedTime().has_value(), int(m_host.sounds.size())});
        });
    }
    QStringList outputFolderEntries() const {
        return QDir(outputDir()).entryList(QDir::Files | QDir::Hidden | QDir::System);
    }
    std::vector<Ended> m_ended;
};

} // namespace

TEST_F(RunTrust, OutcomesAreTypedAndAnnouncedLast) {
    watchEnd();
    choose(referenceMix(), {writeMono(QStringLiteral("a.wav"), take(0, 2.0, 60.0))});
    ASSERT_TRUE(runToEnd());
    QFile junk(path(QStringLiteral("junk.m4a")));
    ASSERT_TRUE(junk.open(QIODevice::WriteOnly));
    junk.write("not audio");
    junk.close();
    session().addIndividualFiles({QUrl::fromLocalFile(junk.fileName())});
    ASSERT_TRUE(runToEnd());
    session().addReferenceFile(QUrl::fromLocalFile(junk.fileName()));
    session().addIndividualFiles({QUrl::fromLocalFile(path(QStringLiteral("a.wav")))});
    ASSERT_TRUE(runToEnd());

    ASSERT_EQ(m_ended.size(), 3u);
    EXPECT_EQ(m_ended[0].outcome, RunOutcome::succeeded);
    // The summary, the elapsed time and the sound are all in place when the end is announced.
    EXPECT_TRUE(m_ended[0].status.endsWith(QStringLiteral("s — 1 synced")));
    EXPECT_TRUE(m_ended[0].hadElapsed);
    EXPECT_EQ(m_ended[0].sounds, 1);
    EXPECT_EQ(m_ended[1].outcome, RunOutcome::completedWithFailures);
    EXPECT_TRUE(m_ended[1].status.endsWith(QStringLiteral("s — 1 synced · 1 failed")))
        << m_ended[1].status.toStdString();
    EXPECT_EQ(m_ended[2].outcome, RunOutcome::failed);
    EXPECT_TRUE(m_ended[2].status.startsWith(QStringLiteral("Reference conversion failed")));
}

TEST_F(RunTrust, ACancelBeforeTheRunStartsLeavesEveryRowCancelled) {
    watchEnd();
    choose(referenceMix(), {writeMono(QStringLiteral("a.wav"), take(0, 2.0, 30.0))});
    session().startProcessing();
    session().cancelProcessing();
    ASSERT_TRUE(waitUntil([&] { return !m_ended.empty(); }));
    EXPECT_EQ(m_ended[0].outcome, RunOutcome::cancelled);
    EXPECT_TRUE(item(0).status().is(ProcessingStatus::Kind::cancelled));
    EXPECT_TRUE(runTempFolders().isEmpty());
}

TEST_F(RunTrust, NamesTakenByOthersAreNeverReplaced) {
    choose(referenceMix(), {writeMono(QStringLiteral("a.wav"), take(0, 2.0, 60.0))});
    QDir().mkpath(outputDir());
    // A dangling link holds the first name; another program takes the second mid-run.
    const QString link = QDir(outputDir()).filePath(QStringLiteral("a-synced.wav"));
    ASSERT_EQ(::symlink("/nonexistent/target.wav", QFile::encodeName(link).constData()), 0);
    const QString second = QDir(outputDir()).filePath(QStringLiteral("a-2-synced.wav"));
    QObject::connect(session().individualFiles()[0], &AudioFileItem::statusChanged, [&] {
        if (item(0).status().is(ProcessingStatus::Kind::processing)) {
            QFile other(second);
            if (other.open(QIODevice::NewOnly))
                other.write("another program's file");
        }
    });
    ASSERT_TRUE(runToEnd());
    EXPECT_TRUE(QFileInfo(link).isSymLink());
    QFile other(second);
    ASSERT_TRUE(other.open(QIODevice::ReadOnly));
    EXPECT_EQ(other.readAll(), QByteArray("another program's file"));
    // The name really written is the one reported.
    EXPECT_EQ(resultOf(0).outputURL.toLocalFile(),
              QDir(outputDir()).filePath(QStringLiteral("a-3-synced.wav")));
    EXPECT_TRUE(QFileInfo(resultOf(0).outputURL.toLocalFile()).size() > 1000);
}

TEST_F(RunTrust, ASilentOutputIsPublishedAsWrittenWithAWarningAndTheRunCountsIt) {
    watchEnd();
    RunSettings settings;
    settings.normalizeLoudness = true;
    settings.targetLUFS = -23.0;
    // A silent recording is written at the best guess; its loudness cannot be measured.
    choose(referenceMix(), {writeMono(QStringLiteral("a.wav"), take(0, 2.0, 60.0)),
                            writeMono(QStringLiteral("s.wav"), std::vector<float>(frames(60.0)))});
    session().startProcessingWith(settings);
    ASSERT_TRUE(waitUntil([&] { return m_ended.size() == 1; }));
    EXPECT_EQ(m_ended[0].outcome, RunOutcome::completedWithFailures);
    const QString normalised = resultOf(0).outputURL.toLocalFile();
    EXPECT_NEAR(ffmpegLoudness(normalised, FFmpegLoudness::loudnorm), -23.0, 0.5);
    ASSERT_TRUE(item(1).status().result());
    ASSERT_FALSE(resultOf(1).warnings.isEmpty());
    EXPECT_EQ(resultOf(1).warnings.back().code(), QStringLiteral("NORMALIZATION_FAILED"));
    EXPECT_TRUE(resultOf(1).warnings.back().message.contains(QStringLiteral("silent")))
        << resultOf(1).warnings.back().message.toStdString();
    EXPECT_FALSE(resultOf(1).normalizedLUFS.has_value());
    EXPECT_TRUE(QFileInfo::exists(resultOf(1).outputURL.toLocalFile()));
}

TEST_F(RunTrust, ACancelWhileWritingLeavesNoUnnormalisedFileUnderAFinalName) {
    watchEnd();
    RunSettings settings;
    settings.normalizeLoudness = true;
    settings.targetLUFS = -23.0;
    choose(referenceMix(), {writeMono(QStringLiteral("a.wav"), take(0, 2.0, 80.0)),
                            writeMono(QStringLiteral("b.wav"), take(1, 1.0, 80.0)),
                            writeMono(QStringLiteral("c.wav"), take(2, 0.5, 80.0))});
    // Cancelled as the first output is being written and normalised: whatever stands under a
    // final name is normalised and belongs to a finished row; no other row says done.
    bool cancelled = false;
    for (AudioFileItem* file : session().individualFiles()) {
        QObject::connect(file, &AudioFileItem::statusChanged, &session(), [&, file] {
            if (!cancelled && file->status().is(ProcessingStatus::Kind::processing)) {
                cancelled = true;
                session().cancelProcessing();
            }
        });
    }
    session().startProcessingWith(settings);
    ASSERT_TRUE(waitUntil([&] { return m_ended.size() == 1; }));
    EXPECT_TRUE(cancelled);
    EXPECT_EQ(m_ended[0].outcome, RunOutcome::cancelled);
    QStringList finished;
    for (int i = 0; i < 3; ++i) {
        if (const SyncResult* result = item(i).status().result())
            finished << result->outputURL.toLocalFile();
        else
            EXPECT_TRUE(item(i).status().is(ProcessingStatus::Kind::cancelled));
    }
    for (const QString& name : outputFolderEntries()) {
        const QString file = QDir(outputDir()).filePath(name);
        EXPECT_TRUE(finished.contains(file)) << name.toStdString();
        EXPECT_NEAR(ffmpegLoudness(file, FFmpegLoudness::loudnorm), -23.0, 0.5)
            << name.toStdString();
    }
}

TEST_F(RunTrust, AFullDiskOrAVanishedFolderFailsTheRowAndLeavesNothingBehind) {
    choose(referenceMix(), {writeMono(QStringLiteral("a.wav"), take(0, 2.0, 60.0))});
    const QByteArray inputBefore = [&] {
        QFile f(path(QStringLiteral("a.wav")));
        f.open(QIODevice::ReadOnly);
        return f.readAll();
    }();
    QDir().mkpath(outputDir());
    // A 64 KiB file system cannot hold a minute of audio.
    const bool mounted =
        ::mount("tmpfs", QFile::encodeName(outputDir()).constData(), "tmpfs", 0, "size=64k") == 0;
    if (mounted) {
        ASSERT_TRUE(runToEnd());
        EXPECT_TRUE(item(0).status().is(ProcessingStatus::Kind::failed));
        EXPECT_TRUE(item(0).status().failureMessage().contains(QStringLiteral("space")))
            << item(0).status().failureMessage().toStdString();
        EXPECT_TRUE(outputFolderEntries().isEmpty())
            << outputFolderEntries().join(' ').toStdString();
        ::umount(QFile::encodeName(outputDir()).constData());
    }
    // The output folder disappears while the file is analysed.
    QObject::connect(session().individualFiles()[0], &AudioFileItem::statusChanged, [&] {
        if (item(0).status().is(ProcessingStatus::Kind::analyzing))
            QDir(outputDir()).removeRecursively();
    });
    ASSERT_TRUE(runToEnd());
    EXPECT_TRUE(item(0).status().is(ProcessingStatus::Kind::failed));
    EXPECT_FALSE(item(0).status().failureMessage().isEmpty());
    EXPECT_TRUE(runTempFolders().isEmpty());
    QFile input(path(QStringLiteral("a.wav")));
    ASSERT_TRUE(input.open(QIODevice::ReadOnly));
    EXPECT_EQ(input.readAll(), inputBefore);
    if (!mounted)
        GTEST_SKIP() << "no tmpfs could be mounted for the full-disk case";
}

TEST_F(RunTrust, AFolderLeftByAKilledRunIsRemovedAndALiveOneKept) {
    const auto live = createRunFolder(tempRoot());
    ASSERT_TRUE(live);
    // A run whose process is gone: its mark names a process that has ended.
    QProcess gone;
    gone.start(QStringLiteral("true"));
    ASSERT_TRUE(gone.waitForStarted());
    const qint64 pid = gone.processId();
    ASSERT_TRUE(gone.waitForFinished());
    const QString stale = QDir(tempRoot()).filePath(QStringLiteral("Corvale_STALE"));
    QDir().mkpath(stale);
    QFile mark(QDir(stale).filePath(QStringLiteral(".corvale-owner")));
    ASSERT_TRUE(mark.open(QIODevice::WriteOnly));
    mark.write(QByteArray::number(pid) + " 1\n");
    mark.close();
    // A run creating its folder this very moment has not written its mark yet: kept. Without
    // a mark for hours, a folder is a killed run's.
    const QString starting = QDir(tempRoot()).filePath(QStringLiteral("Corvale_STARTING"));
    const QString unmarked = QDir(tempRoot()).filePath(QStringLiteral("Corvale_UNMARKED"));
    QDir().mkpath(starting);
    QFile(QDir(starting).filePath(QStringLiteral(".corvale-owner.new"))).open(QIODevice::WriteOnly);
    QDir().mkpath(unmarked);
    const struct timeval twoHoursAgo[2] = {{std::time(nullptr) - 7200, 0},
                                           {std::time(nullptr) - 7200, 0}};
    ASSERT_EQ(::utimes(QFile::encodeName(unmarked).constData(), twoHoursAgo), 0);
    EXPECT_EQ(removeStaleRunFolders(tempRoot()), 2);
    EXPECT_FALSE(QFileInfo::exists(stale));
    EXPECT_FALSE(QFileInfo::exists(unmarked));
    EXPECT_TRUE(QFileInfo::exists(starting));
    EXPECT_TRUE(QFileInfo::exists(live.value()));
}

TEST_F(RunTrust, ASessionDestroyedMidRunIsNeverCalledBack) {
    const QString reference = referenceMix();
    // The session's runs let go of one while a task on the pool still holds it: an input
    // probed by an ffprobe slow to answer. Destroyed then, the run would be called back by that
    // task in freed memory, which only ASan sees; that it lives on is seen in any build.
    {
        const QString tools = path(QStringLiteral("tools"));
        ASSERT_TRUE(QDir().mkpath(tools));
        const QString ffmpeg = makeFakeTool(tools, QStringLiteral("ffmpeg"),
                                            QStringLiteral("exec '%1' \"$@\"").arg(realFFmpeg()));
        makeFakeTool(tools, QStringLiteral("ffprobe"),
                     QStringLiteral("sleep 1\nexec '%1' \"$@\"")
                         .arg(QFileInfo(realFFmpeg()).dir().filePath(QStringLiteral("ffprobe"))));
        auto runs = std::make_unique<RunController>();
        ASSERT_TRUE(runs->start(
            {{QUrl::fromLocalFile(writeEncoded(QStringLiteral("a.m4a"), take(0, 2.0, 20.0)))},
             QUrl::fromLocalFile(reference),
             outputDir(),
             ffmpeg,
             RunSettings{}}));
        QPointer<ProcessingRun> run = runs->findChild<ProcessingRun*>();
        ASSERT_TRUE(run);
        bool probing = false;
        QObject::connect(runs.get(), &RunController::itemStep, [&] { probing = true; });
        ASSERT_TRUE(waitUntil([&] { return probing; }));
        runs->shutdown(QDeadlineTimer(0));
        ASSERT_TRUE(run) << "destroyed under its task";
        // The session goes too; the run winds down on its own once the probe has answered.
        runs.reset();
        RunWork* work = run->findChild<RunWork*>();
        EXPECT_TRUE(waitUntil([&] { return work->idle(); }, 30000));
        delete run.data(); // idle now; the application leaves it to the end of the process
    }
    // The session itself destroyed at once: the run outlives it and must not touch it.
    choose(reference, {writeMono(QStringLiteral("a.wav"), take(0, 2.0, 80.0))});
    session().startProcessing();
    ASSERT_TRUE(waitUntil([&] { return item(0).status().is(ProcessingStatus::Kind::converting); }));
    session().shutdown(0);
    m_session.reset();
    // The orphaned run winds down on its own: until its folder is gone it may still report.
    EXPECT_TRUE(waitUntil([&] { return runTempFolders().isEmpty(); }, 30000));
}

TEST_F(RunTrust, ARunNeedsNoSessionToReportThrough) {
    const QString reference = referenceMix();
    const QUrl input = QUrl::fromLocalFile(writeMono(QStringLiteral("a.wav"), take(0, 2.0, 60.0)));
    ProcessingRun::Request request;
    request.inputs = {input};
    request.reference = QUrl::fromLocalFile(reference);
    request.outputFolder = outputDir();
    request.ffmpegPath = realFFmpeg();
    request.settings.renameForDropbox = false;
    QThreadPool pool;
    ProcessingRun run(request, &pool);
    QStringList statuses;
    std::vector<double> progress;
    std::vector<ProcessingStatus::Kind> steps;
    std::optional<RunReport> report;
    QObject::connect(&run, &ProcessingRun::statusMessageChanged,
                     [&](const QString& text) { statuses << text; });
    QObject::connect(&run, &ProcessingRun::progressChanged,
                     [&](double p) { progress.push_back(p); });
    QObject::connect(&run, &ProcessingRun::itemStep,
                     [&](qsizetype, ProcessingStatus::Kind step) { steps.push_back(step); });
    QObject::connect(&run, &ProcessingRun::ended, [&](const RunReport& r) { report = r; });
    run.start();
    ASSERT_TRUE(waitUntil([&] { return report.has_value(); }));
    EXPECT_EQ(report->outcome, RunOutcome::succeeded);
    EXPECT_EQ(statuses, (QStringList{QStringLiteral("Converting…"),
                                     QStringLiteral("Loading reference audio…"),
                                     QStringLiteral("Processing 1 file…")}));
    // The bar moves while the files convert (the first third), then once per analysis and
    // write, and never steps back.
    ASSERT_GE(progress.size(), 3u);
    EXPECT_LE(progress.front(), 1.0 / 3.0 + 1e-9);
    EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
    EXPECT_NEAR(progress[progress.size() - 2], 2.0 / 3.0, 1e-9);
    EXPECT_EQ(progress.back(), 1.0);
    using Kind = ProcessingStatus::Kind;
    EXPECT_EQ(steps, (std::vector<Kind>{Kind::converting, Kind::analyzing, Kind::processing}));
    ASSERT_EQ(report->items.size(), 1);
    const SyncResult* result = report->items[0].result();
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(report->items[0].input, input);
    EXPECT_TRUE(report->items[0].analysis.has_value());
    EXPECT_NEAR(result->offsetSeconds, 2.0, 1e-5); // the fine offset
    EXPECT_EQ(report->items[0].verdict(), ItemVerdict::placed);
    EXPECT_EQ(report->referenceCopy.state, ReferenceCopyReport::State::notNeeded);
    EXPECT_TRUE(runTempFolders().isEmpty());
}
