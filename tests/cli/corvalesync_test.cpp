// SPDX-License-Identifier: GPL-3.0-or-later
// Drives the corvale-sync binary end to end with the real ffmpeg.
#include "demo/speechgen.h"
#include "support/clipsession.h"
#include "support/qtprinters.h"
#include "support/testenv.h"
#include "support/wavfile.h"

#include "cli/clirun.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>
#include <random>
#include <sys/stat.h>

using namespace corvale;
using namespace corvale::test;

namespace {

struct Outcome {
    int exitCode = -1;
    QString out;
    QString err;
};

class CorvaleSync : public ::testing::Test {
protected:
    static constexpr int kRate = 16000;

    void SetUp() override {
        ASSERT_TRUE(m_dir.isValid());
        QDir().mkpath(tempRoot());
    }
    QString path(const QString& name) const { return m_dir.filePath(name); }
    QString tempRoot() const { return m_dir.filePath(QStringLiteral("tmp")); }

    void prepare(QProcess& process, const QStringList& args) const {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("TMPDIR"), tempRoot());
        // A private settings location: the user's preferences are neither read nor changed.
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), m_dir.filePath(QStringLiteral("config")));
        process.setProcessEnvironment(env);
        process.setProgram(QStringLiteral(CORVALE_SYNC_BINARY));
        process.setArguments(args);
    }
    Outcome run(const QStringList& args) const {
        QProcess process;
        prepare(process, args);
        process.start();
        EXPECT_TRUE(process.waitForFinished(180000));
        return {process.exitCode(), QString::fromUtf8(process.readAllStandardOutput()),
                QString::fromUtf8(process.readAllStandardError())};
    }
    // A reference of two voices and each voice's own track, the second starting 1.5 s early.
    QStringList session(double seconds = 60.0) {
        const auto voices = demo::conversation(2, seconds, kRate, 4);
        const auto reference = demo::mix(voices, 0.7f);
        EXPECT_TRUE(writeWav(path("ref.wav"), reference, 1, kRate));
        EXPECT_TRUE(writeWav(path("Ann - take.wav"),
                             demo::excerpt(voices[0], kRate, std::int64_t((seconds - 1) * kRate)),
                             1, kRate));
        EXPECT_TRUE(writeWav(
            path("bob.wav"),
            demo::excerpt(voices[1], -kRate * 3 / 2, std::int64_t(seconds * kRate)), 1, kRate));
        return {path("ref.wav"), path("Ann - take.wav"), path("bob.wav")};
    }

    QTemporaryDir m_dir;
};

} // namespace

TEST_F(CorvaleSync, UsageErrorsExitWithTwo) {
    const Outcome none = run({});
    EXPECT_EQ(none.exitCode, 2);
    EXPECT_TRUE(none.err.contains(QStringLiteral("Missing the reference")))
        << none.err.toStdString();
    EXPECT_EQ(run({QStringLiteral("--bogus")}).exitCode, 2);
    EXPECT_EQ(run({QStringLiteral("--label"), QStringLiteral("mauve"), path("x")}).exitCode, 2);
    EXPECT_EQ(run({QStringLiteral("--normalize"), QStringLiteral("loud"), path("x")}).exitCode, 2);
    EXPECT_EQ(run({path("missing.wav"), path("x.wav")}).exitCode, 2);
    const Outcome help = run({QStringLiteral("--help")});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_TRUE(help.out.contains(QStringLiteral("--json")));
    EXPECT_EQ(run({QStringLiteral("--version")}).exitCode, 0);
}

TEST_F(CorvaleSync, SyncsASessionAndPrintsTheTable) {
    const QStringList files = session();
    const Outcome outcome = run(files);
    ASSERT_EQ(outcome.exitCode, 0) << outcome.err.toStdString();
    EXPECT_TRUE(outcome.out.contains(QStringLiteral("Ann - take.wav")))
        << outcome.out.toStdString();
    EXPECT_TRUE(outcome.out.contains(QStringLiteral("+1.00s")));
    EXPECT_TRUE(outcome.out.contains(QStringLiteral("-1.50s")));
    EXPECT_TRUE(outcome.out.contains(QStringLiteral("Ann-synced.wav")));
    EXPECT_TRUE(outcome.out.contains(QStringLiteral("Finished in ")));
    EXPECT_TRUE(outcome.out.contains(QStringLiteral(" — 2 synced — outputs in ")));
    EXPECT_TRUE(QFileInfo::exists(path("Ann-synced.wav")));
    EXPECT_TRUE(QFileInfo::exists(path("bob-synced.wav")));
    // Non-terminal runs report each file's progress as plain lines.
    EXPECT_TRUE(outcome.err.contains(QStringLiteral("bob.wav: Analyzing…")));
}

TEST_F(CorvaleSync, JsonCarriesTheFullResultsAndOverridesApplyToThisRunOnly) {
    QStringList args = session();
    args << QStringLiteral("--json") << QStringLiteral("--full-names") << QStringLiteral("--output")
         << path("out");
    const Outcome outcome = run(args);
    ASSERT_EQ(outcome.exitCode, 0) << outcome.err.toStdString();
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(outcome.out.toUtf8(), &error);
    ASSERT_EQ(error.error, QJsonParseError::NoError) << outcome.out.toStdString();
    const QJsonObject root = doc.object();
    EXPECT_TRUE(root[QStringLiteral("status")].toString().startsWith(QStringLiteral("Finished")));
    EXPECT_EQ(root[QStringLiteral("outcome")].toString(), QStringLiteral("succeeded"));
    EXPECT_EQ(root[QStringLiteral("counts")].toObject()[QStringLiteral("placed")].toInt(), 2);
    const QJsonArray files = root[QStringLiteral("files")].toArray();
    ASSERT_EQ(files.size(), 2);
    const QJsonObject ann = files[0].toObject();
    EXPECT_EQ(ann[QStringLiteral("offsetSamples")].toInteger(), kRate);
    // What was written (the fine stage's placement) at the top, the envelopes' under coarse.
    EXPECT_NEAR(ann[QStringLiteral("offsetSeconds")].toDouble(), 1.0, 0.5 / kRate);
    EXPECT_DOUBLE_EQ(
        ann[QStringLiteral("coarse")].toObject()[QStringLiteral("offsetSeconds")].toDouble(), 1.0);
    EXPECT_EQ(ann[QStringLiteral("verdict")].toString(), QStringLiteral("placed"));
    EXPECT_EQ(ann[QStringLiteral("confidenceBand")].toString(), QStringLiteral("high"));
    EXPECT_TRUE(ann[QStringLiteral("crossCheckAgrees")].toBool());
    EXPECT_EQ(ann[QStringLiteral("stereo")].toObject()[QStringLiteral("verdict")].toString(),
              QStringLiteral("monoOrIdentical"));
    EXPECT_FALSE(ann[QStringLiteral("driftApplied")].toBool());
    EXPECT_TRUE(ann[QStringLiteral("coarse")].toObject()[QStringLiteral("driftPoints")].isArray());
    EXPECT_TRUE(ann[QStringLiteral("warnings")].toArray().isEmpty());
    EXPECT_GT(ann[QStringLiteral("margin")].toDouble(), 0.0);
    EXPECT_EQ(ann[QStringLiteral("outputs")].toArray().first().toString(),
              path("out/Ann - take-synced.wav"));
    EXPECT_NEAR(files[1].toObject()[QStringLiteral("offsetSeconds")].toDouble(), -1.5, 0.5 / kRate);
    // Nothing was written to the preferences.
    EXPECT_FALSE(QFileInfo::exists(m_dir.filePath(QStringLiteral("config/Corvale/Corvale.conf"))));
}

TEST_F(CorvaleSync, PreciseByDefaultNoPreciseRunsTheCoarseAnalysisAlone) {
    QStringList files = session();
    EXPECT_TRUE(writeWav(path("stranger.wav"), demo::speechLike(60.0, kRate, 77), 1, kRate));
    files << path("stranger.wav");
    const auto parse = [](const Outcome& outcome) {
        return QJsonDocument::fromJson(outcome.out.toUtf8())
            .object()[QStringLiteral("files")]
            .toArray();
    };
    const Outcome precise = run(QStringList(files) << QStringLiteral("--json")
                                                   << QStringLiteral("--output") << path("a"));
    // The stranger is in no stage's reference: not found, and the run asks for a listen.
    ASSERT_EQ(precise.exitCode, 3) << precise.err.toStdString();
    const QJsonArray fine = parse(precise);
    ASSERT_EQ(fine.size(), 3);
    const QJsonObject ann = fine[0].toObject()[QStringLiteral("fine")].toObject();
    EXPECT_TRUE(ann[QStringLiteral("confirmed")].toBool());
    EXPECT_NEAR(ann[QStringLiteral("offsetSamples")].toDouble(), kRate, 0.5);
    EXPECT_NEAR(ann[QStringLiteral("offsetSeconds")].toDouble(), 1.0, 0.5 / kRate);
    EXPECT_NEAR(ann[QStringLiteral("clockPpm")].toDouble(), 0.0, 2.0);
    EXPECT_LT(ann[QStringLiteral("residualMs")].toDouble(), 0.05);
    EXPECT_GE(ann[QStringLiteral("windowsMeasured")].toInt(), 6);
    EXPECT_EQ(ann[QStringLiteral("windowsAgreeing")].toInt(),
              ann[QStringLiteral("windowsMeasured")].toInt());
    EXPECT_TRUE(ann[QStringLiteral("breaks")].toArray().isEmpty());
    const QJsonObject stranger = fine[2].toObject();
    EXPECT_EQ(stranger[QStringLiteral("verdict")].toString(), QStringLiteral("notFound"));
    EXPECT_FALSE(stranger[QStringLiteral("fine")].toObject()[QStringLiteral("confirmed")].toBool());
    QStringList codes;
    for (const auto& w : stranger[QStringLiteral("warnings")].toArray())
        codes << w.toObject()[QStringLiteral("code")].toString();
    EXPECT_TRUE(codes.contains(QStringLiteral("ALIGNMENT_NOT_CONFIRMED")))
        << codes.join(' ').toStdString();

    const Outcome coarse =
        run(QStringList(files) << QStringLiteral("--json") << QStringLiteral("--no-precise")
                               << QStringLiteral("--output") << path("b"));
    ASSERT_EQ(coarse.exitCode, 3) << coarse.err.toStdString();
    for (const auto& file : parse(coarse)) {
        EXPECT_FALSE(file.toObject().contains(QStringLiteral("fine")));
        for (const auto& w : file.toObject()[QStringLiteral("warnings")].toArray())
            EXPECT_NE(w.toObject()[QStringLiteral("code")].toString(),
                      QStringLiteral("ALIGNMENT_NOT_CONFIRMED"));
    }
    // A drift-free track at a whole 0.1 s offset lands on the same sample either way.
    QFile a(path("a/Ann-synced.wav"));
    QFile b(path("b/Ann-synced.wav"));
    ASSERT_TRUE(a.open(QIODevice::ReadOnly) && b.open(QIODevice::ReadOnly));
    EXPECT_TRUE(a.readAll() == b.readAll());
    EXPECT_EQ(
        run(QStringList(files) << QStringLiteral("--precise") << QStringLiteral("--no-precise"))
            .exitCode,
        2);
}

TEST_F(CorvaleSync, AFailedFileExitsWithOne) {
    QStringList args = session();
    QFile junk(path("junk.mp3"));
    ASSERT_TRUE(junk.open(QIODevice::WriteOnly));
    junk.write("not audio at all");
    junk.close();
    args << junk.fileName() << QStringLiteral("--json");
    const Outcome outcome = run(args);
    EXPECT_EQ(outcome.exitCode, 1);
    const QJsonArray files =
        QJsonDocument::fromJson(outcome.out.toUtf8()).object()[QStringLiteral("files")].toArray();
    ASSERT_EQ(files.size(), 3);
    EXPECT_EQ(files[2].toObject()[QStringLiteral("status")].toString(), QStringLiteral("failed"));
    EXPECT_TRUE(files[2].toObject()[QStringLiteral("error")].toString().startsWith(
        QStringLiteral("Cannot convert ") + junk.fileName() + ": "));
    EXPECT_EQ(files[2].toObject()[QStringLiteral("verdict")].toString(), QStringLiteral("failed"));
    EXPECT_EQ(files[0].toObject()[QStringLiteral("status")].toString(), QStringLiteral("complete"));
}

// Every way of being told to stop ends the run cleanly: no child, no temporary folder, no
// partial output, and 128 + the signal; so does every signal that would otherwise end the
// process by default. A reader that goes away (SIGPIPE's cause) cancels too.
TEST_F(CorvaleSync, SignalsAndAVanishedReaderEndTheRunCleanly) {
    const QStringList files = session(1200.0);
    struct Case {
        int signal;
        QByteArray when; // the progress line on which it is sent
    };
    for (const Case& c :
         {Case{SIGINT, "Converting"}, Case{SIGTERM, "Converting"}, Case{SIGHUP, "Converting"},
          Case{SIGQUIT, "Converting"}, Case{SIGUSR1, "Converting"}, Case{SIGUSR2, "Converting"},
          Case{SIGALRM, "Converting"}, Case{SIGXCPU, "Converting"}, Case{SIGTERM, ": Processing"},
          Case{SIGPIPE, "Converting"}}) {
        SCOPED_TRACE(c.signal);
        QProcess process;
        prepare(process, files);
        if (c.signal == SIGPIPE) {
            // A reader that leaves after the first line: the next write finds no one there.
            process.setArguments(QStringList{QStringLiteral("-c"),
                                             QStringLiteral("\"$0\" \"$@\" 2>&1 | head -n 1 "
                                                            ">/dev/null; exit ${PIPESTATUS[0]}"),
                                             process.program()} +
                                 process.arguments());
            process.setProgram(QStringLiteral("bash"));
        }
        QByteArray err;
        bool sent = c.signal == SIGPIPE;
        QObject::connect(&process, &QProcess::readyReadStandardError, [&] {
            err += process.readAllStandardError();
            if (sent || !err.contains(c.when))
                return;
            sent = true;
            ::kill(pid_t(process.processId()), c.signal);
        });
        process.start();
        ASSERT_TRUE(waitUntil([&] { return process.state() == QProcess::NotRunning; }, 120000));
        ASSERT_TRUE(sent);
        EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
        EXPECT_TRUE(QDir(tempRoot()).entryList(QDir::Dirs | QDir::NoDotAndDotDot).isEmpty());
        EXPECT_TRUE(QDir(m_dir.path())
                        .entryList({QStringLiteral(".*")}, QDir::Files | QDir::Hidden)
                        .isEmpty());
        const QStringList written = QDir(m_dir.path()).entryList({QStringLiteral("*synced*")});
        for (const QString& name : written)
            QFile::remove(path(name));
        // Mid-write, outputs finished before the signal stay (whole); a write may even finish
        // in the instant before the signal lands.
        if (c.when.contains("Processing")) {
            EXPECT_TRUE(process.exitCode() == 0 || process.exitCode() == 128 + c.signal);
            continue;
        }
        EXPECT_EQ(process.exitCode(), 128 + c.signal) << err.toStdString();
        EXPECT_TRUE(written.isEmpty()) << written.join(' ').toStdString();
    }
}

TEST_F(CorvaleSync, ChildrenDieWithAKilledRunWhoseFolderTheNextRunRemoves) {
    const QStringList files = session(1200.0);
    QProcess process;
    prepare(process, files);
    QObject::connect(&process, &QProcess::readyReadStandardError, [&] {
        if (process.readAllStandardError().contains("Converting"))
            ::kill(pid_t(process.processId()), SIGKILL);
    });
    process.start();
    ASSERT_TRUE(waitUntil([&] { return process.state() == QProcess::NotRunning; }, 120000));
    const auto toolsOfTheRun = [&] {
        int count = 0;
        for (const QString& pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
            QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(pid));
            if (cmdline.open(QIODevice::ReadOnly) &&
                cmdline.readAll().contains(QFile::encodeName(tempRoot())))
                ++count;
        }
        return count;
    };
    EXPECT_TRUE(waitUntil([&] { return toolsOfTheRun() == 0; }, 5000));
    ASSERT_FALSE(QDir(tempRoot()).entryList({QStringLiteral("Corvale_*")}, QDir::Dirs).isEmpty());
    session(20.0);
    EXPECT_EQ(run(files).exitCode, 0); // the next run clears what the killed one left
    EXPECT_TRUE(QDir(tempRoot()).entryList({QStringLiteral("Corvale_*")}, QDir::Dirs).isEmpty());
}

TEST_F(CorvaleSync, ConcurrentRunsIntoOneFolderWriteAndReportDistinctFiles) {
    QStringList args = session();
    args << QStringLiteral("--json");
    QProcess first, second;
    prepare(first, args);
    prepare(second, args);
    first.start();
    second.start();
    ASSERT_TRUE(first.waitForFinished(180000) && second.waitForFinished(180000));
    ASSERT_EQ(first.exitCode(), 0);
    ASSERT_EQ(second.exitCode(), 0);
    const auto outputsOf = [](QProcess& p) {
        const QJsonObject root = QJsonDocument::fromJson(p.readAllStandardOutput()).object();
        EXPECT_EQ(root[QStringLiteral("outcome")].toString(), QStringLiteral("succeeded"));
        QStringList outputs;
        for (const QJsonValue& file : root[QStringLiteral("files")].toArray())
            outputs << file.toObject()[QStringLiteral("outputs")].toArray()[0].toString();
        return outputs;
    };
    const QStringList a = outputsOf(first);
    const QStringList b = outputsOf(second);
    ASSERT_EQ(a.size(), 2);
    ASSERT_EQ(b.size(), 2);
    for (int i = 0; i < 2; ++i) {
        EXPECT_NE(a[i], b[i]);
        EXPECT_GT(QFileInfo(a[i]).size(), 1000);
        EXPECT_GT(QFileInfo(b[i]).size(), 1000);
    }
}

TEST_F(CorvaleSync, ReportsReadWellWhenThingsGoWrong) {
    QStringList args = session(20.0);
    QFile notes(path("notes.txt"));
    ASSERT_TRUE(notes.open(QIODevice::WriteOnly));
    notes.write("meeting notes\n");
    notes.close();
    // A text file as the reference: one readable line, a failed run.
    const Outcome text = run({notes.fileName(), args[1]});
    EXPECT_EQ(text.exitCode, 1);
    EXPECT_TRUE(
        text.out.trimmed().endsWith(QStringLiteral("Invalid data found when processing input")))
        << text.out.toStdString();
    // An output folder that is a file, and an --ffmpeg that does not exist, say so by name.
    const Outcome folder = run({args[0], args[1], QStringLiteral("-o"), notes.fileName()});
    EXPECT_EQ(folder.exitCode, 2);
    EXPECT_EQ(folder.err.count(notes.fileName()), 1) << folder.err.toStdString();
    const Outcome tool = run({args[0], args[1], QStringLiteral("--ffmpeg"), path("no-ffmpeg")});
    EXPECT_EQ(tool.exitCode, 2);
    EXPECT_TRUE(tool.err.contains(path("no-ffmpeg")));
    // The same track twice is synced once.
    const Outcome twice = run({args[0], args[1], args[1], QStringLiteral("--json")});
    EXPECT_EQ(QJsonDocument::fromJson(twice.out.toUtf8())
                  .object()[QStringLiteral("files")]
                  .toArray()
                  .size(),
              1);
}

TEST_F(CorvaleSync, ShortClipsAreFoundInTheWholeReferenceAndStrangersNowhere) {
    // Clips of a participant's own recording (another microphone, MP3 or WAV, a clock 60 ppm
    // off) against the AAC mix of a 30-minute conversation, plus a voice from another
    // conversation and room noise.
    const auto session =
        makeClipSession(path(QStringLiteral("session")), 30.0, kRate,
                        {{130.25, 10.0}, {611.7, 20.0}, {1195.0, 60.0}, {1502.5, 10.0}}, 5);
    ASSERT_TRUE(session);
    QStringList args{QStringLiteral("--json"), QStringLiteral("-o"), path(QStringLiteral("out")),
                     session->reference};
    for (const GeneratedClip& clip : session->clips)
        args << clip.path;
    args << session->otherConversation << session->noise;
    const Outcome outcome = run(args);
    const QJsonArray files =
        QJsonDocument::fromJson(outcome.out.toUtf8()).object()[QStringLiteral("files")].toArray();
    ASSERT_EQ(files.size(), qsizetype(session->clips.size()) + 2) << outcome.err.toStdString();

    for (std::size_t i = 0; i < session->clips.size(); ++i) {
        const QJsonObject file = files[qsizetype(i)].toObject();
        const QJsonObject fine = file[QStringLiteral("fine")].toObject();
        const QJsonObject search = file[QStringLiteral("waveformSearch")].toObject();
        SCOPED_TRACE(QFileInfo(session->clips[i].path).fileName().toStdString());
        EXPECT_TRUE(fine[QStringLiteral("confirmed")].toBool());
        EXPECT_NEAR(fine[QStringLiteral("offsetSamples")].toDouble(),
                    session->clips[i].trueOffsetSamples, 0.002 * kRate);
        EXPECT_TRUE(file[QStringLiteral("warnings")].toArray().isEmpty());
        EXPECT_NE(search[QStringLiteral("verdict")].toString(), QStringLiteral("notPlaced"));
        EXPECT_EQ(file[QStringLiteral("placedBy")].toString(),
                  search[QStringLiteral("verdict")] == QStringLiteral("placed")
                      ? QStringLiteral("waveform")
                      : QStringLiteral("envelopes"));
    }
    for (qsizetype i = files.size() - 2; i < files.size(); ++i) {
        const QJsonObject file = files[i].toObject();
        SCOPED_TRACE(file[QStringLiteral("input")].toString().toStdString());
        EXPECT_EQ(file[QStringLiteral("placedBy")].toString(), QStringLiteral("envelopes"));
        EXPECT_EQ(file[QStringLiteral("waveformSearch")].toObject()[QStringLiteral("verdict")],
                  QStringLiteral("notPlaced"));
        EXPECT_FALSE(file[QStringLiteral("warnings")].toArray().isEmpty());
        EXPECT_EQ(file[QStringLiteral("verdict")].toString(), QStringLiteral("notFound"));
    }
    EXPECT_EQ(outcome.exitCode, 3);
}

TEST_F(CorvaleSync, AClipWithLittleSpeechIsPlacedByAClearSearch) {
    // 20 s of room noise around 3 s of the conversation: too little speech for the fine
    // stage's windows to say anything, but one clear place in the whole reference.
    const auto voices = demo::conversation(3, 600.0, kRate, 41);
    const auto reference = demo::mix(voices, 0.5f);
    constexpr double kAt = 377.0;
    std::mt19937 random(43);
    std::normal_distribution<float> room(0.0f, 0.003f);
    std::vector<float> clip(20 * kRate);
    for (float& x : clip)
        x = room(random);
    for (std::int64_t i = 6 * kRate; i < 9 * kRate; ++i)
        clip[std::size_t(i)] += reference[std::size_t(std::int64_t(kAt * kRate) + i)];
    ASSERT_TRUE(writeWav(path("call.wav"), reference, 1, kRate));
    ASSERT_TRUE(writeWav(path("clip.wav"), clip, 1, kRate));
    const Outcome outcome = run({QStringLiteral("--json"), QStringLiteral("-o"), path("out"),
                                 path("call.wav"), path("clip.wav")});
    const QJsonObject file = QJsonDocument::fromJson(outcome.out.toUtf8())
                                 .object()[QStringLiteral("files")]
                                 .toArray()[0]
                                 .toObject();
    EXPECT_EQ(file[QStringLiteral("placedBy")], QStringLiteral("waveform"));
    EXPECT_GE(
        file[QStringLiteral("waveformSearch")].toObject()[QStringLiteral("margin")].toDouble(),
        3.0);
    // What the writer follows.
    EXPECT_NEAR(file[QStringLiteral("fine")].toObject()[QStringLiteral("offsetSamples")].toDouble(),
                kAt * kRate, 0.002 * kRate);
    EXPECT_TRUE(file[QStringLiteral("warnings")].toArray().isEmpty())
        << QJsonDocument(file).toJson().toStdString();
    EXPECT_EQ(outcome.exitCode, 0) << outcome.err.toStdString();
}

TEST_F(CorvaleSync, AClipWhoseLoudestPartTheReferenceHoldsTwiceIsFlagged) {
    // An ad read played twice in the call. The clip's loudest seconds are that ad, which fits
    // both places equally well: the search cannot vouch for the place the envelopes found.
    const auto voices = demo::conversation(2, 300.0, kRate, 21);
    const auto mix = demo::mix(voices, 0.4f);
    const auto ad = demo::excerpt(mix, 40 * kRate, 20 * kRate);
    std::vector<float> reference(mix.begin(), mix.begin() + 120 * kRate);
    reference.insert(reference.end(), ad.begin(), ad.end());
    reference.insert(reference.end(), mix.begin() + 120 * kRate, mix.end());
    std::vector<float> clip = demo::excerpt(reference, 80 * kRate, 80 * kRate);
    for (std::size_t i = 40 * kRate; i < 60 * kRate; ++i)
        clip[i] *= 2.0f;
    ASSERT_TRUE(writeWav(path("call.wav"), reference, 1, kRate));
    ASSERT_TRUE(writeWav(path("clip.wav"), clip, 1, kRate));
    const Outcome outcome = run({QStringLiteral("--json"), QStringLiteral("-o"), path("out"),
                                 path("call.wav"), path("clip.wav")});
    const QJsonObject file = QJsonDocument::fromJson(outcome.out.toUtf8())
                                 .object()[QStringLiteral("files")]
                                 .toArray()[0]
                                 .toObject();
    const QJsonObject search = file[QStringLiteral("waveformSearch")].toObject();
    EXPECT_EQ(search[QStringLiteral("verdict")], QStringLiteral("notPlaced"));
    EXPECT_LT(search[QStringLiteral("margin")].toDouble(), 1.2);
    EXPECT_EQ(file[QStringLiteral("placedBy")], QStringLiteral("envelopes"));
    QStringList codes;
    for (const QJsonValue& w : file[QStringLiteral("warnings")].toArray())
        codes << w[QStringLiteral("code")].toString();
    EXPECT_EQ(codes, QStringList{QStringLiteral("PLACEMENT_NOT_CONFIRMED")});
    EXPECT_EQ(file[QStringLiteral("verdict")].toString(), QStringLiteral("needsReview"));
    EXPECT_EQ(outcome.exitCode, 3);
}

namespace {

QJsonObject jsonOf(const Outcome& outcome) {
    return QJsonDocument::fromJson(outcome.out.toUtf8()).object();
}

QStringList warningCodes(const QJsonObject& file) {
    QStringList codes;
    for (const QJsonValue& w : file[QStringLiteral("warnings")].toArray())
        codes << w[QStringLiteral("code")].toString();
    return codes;
}

} // namespace

TEST_F(CorvaleSync, RecordingsNotInTheReferenceAreNotFoundAndNeverLookDone) {
    QStringList files = session(150.0);
    std::vector<float> noise(std::size_t(90 * kRate));
    std::uint32_t state = 7;
    for (float& x : noise) { // white noise, gently low-passed towards pink
        state = state * 1664525u + 1013904223u;
        x = 0.7f * x + 0.3f * (float(state >> 8) / float(1u << 24) - 0.5f);
    }
    std::vector<float> reversed =
        demo::excerpt(demo::conversation(2, 150.0, kRate, 4)[0], 0, std::int64_t(100 * kRate));
    std::reverse(reversed.begin(), reversed.end());
    const auto other = demo::mix(demo::conversation(2, 120.0, kRate, 99), 0.7f);
    ASSERT_TRUE(writeWav(path("noise.wav"), noise, 1, kRate));
    ASSERT_TRUE(writeWav(path("reversed.wav"), reversed, 1, kRate));
    ASSERT_TRUE(writeWav(path("other episode.wav"), other, 1, kRate));
    files << path("noise.wav") << path("reversed.wav") << path("other episode.wav");
    const Outcome outcome = run(QStringList(files) << QStringLiteral("--json"));
    EXPECT_EQ(outcome.exitCode, 3) << outcome.err.toStdString();
    const QJsonObject root = jsonOf(outcome);
    const QJsonArray results = root[QStringLiteral("files")].toArray();
    ASSERT_EQ(results.size(), 5);
    EXPECT_EQ(results[0].toObject()[QStringLiteral("verdict")], QStringLiteral("placed"));
    EXPECT_EQ(results[1].toObject()[QStringLiteral("verdict")], QStringLiteral("placed"));
    for (qsizetype i = 2; i < 5; ++i) {
        const QJsonObject file = results[i].toObject();
        SCOPED_TRACE(file[QStringLiteral("input")].toString().toStdString());
        EXPECT_EQ(file[QStringLiteral("verdict")], QStringLiteral("notFound"));
        EXPECT_EQ(warningCodes(file).value(0), QStringLiteral("NOT_FOUND"));
        // Written all the same, at the best guess.
        EXPECT_TRUE(QFileInfo::exists(file[QStringLiteral("outputs")][0].toString()));
    }
    EXPECT_EQ(root[QStringLiteral("counts")][QStringLiteral("notFound")].toInt(), 3);
    EXPECT_TRUE(root[QStringLiteral("status")].toString().endsWith(
        QStringLiteral(" — 2 synced · 3 not found")));

    const Outcome table = run(QStringList(files) << QStringLiteral("-o") << path("again"));
    EXPECT_EQ(table.exitCode, 3);
    for (const QString& line : table.out.split(QLatin1Char('\n'))) {
        if (line.startsWith(QStringLiteral("noise.wav"))) {
            EXPECT_TRUE(line.contains(QStringLiteral("not found"))) << line.toStdString();
        }
    }
}

TEST_F(CorvaleSync, JsonOffsetIsWhereTheOutputPutsTheTrack) {
    const auto reference = demo::mix(demo::conversation(2, 60.0, kRate, 12), 0.7f);
    const std::int64_t start = 19752; // 1.2345 s: off the coarse grid
    ASSERT_TRUE(writeWav(path("call.wav"), reference, 1, kRate));
    ASSERT_TRUE(writeWav(path("take.wav"), demo::excerpt(reference, start, 50 * kRate), 1, kRate));
    const Outcome outcome = run({QStringLiteral("--json"), path("call.wav"), path("take.wav"),
                                 QStringLiteral("-o"), path("out")});
    ASSERT_EQ(outcome.exitCode, 0) << outcome.err.toStdString();
    const QJsonObject file = jsonOf(outcome)[QStringLiteral("files")][0].toObject();
    const qint64 offset = file[QStringLiteral("offsetSamples")].toInteger();
    EXPECT_EQ(offset, start);
    EXPECT_NEAR(file[QStringLiteral("offsetSeconds")].toDouble(), double(start) / kRate, 1e-4);
    EXPECT_EQ(file[QStringLiteral("coarse")][QStringLiteral("offsetSamples")].toInteger() % 1600,
              0);
    const auto written = readWav(file[QStringLiteral("outputs")][0].toString());
    ASSERT_GT(written.samples.size(), std::size_t(offset + 40 * kRate));
    float before = 0.0f, worst = 0.0f;
    for (std::int64_t i = 0; i < offset; ++i)
        before = std::max(before, std::fabs(written.samples[std::size_t(i)]));
    for (std::int64_t i = offset; i < offset + 40 * kRate; ++i)
        worst =
            std::max(worst, std::fabs(written.samples[std::size_t(i)] - reference[std::size_t(i)]));
    EXPECT_EQ(before, 0.0f);
    EXPECT_LT(worst, 2.0f / 32768.0f); // the reference itself, to 16-bit rounding
}

TEST_F(CorvaleSync, DriftBeyondTheCoarseReachIsFlaggedWithoutPrecision) {
    const auto voices = demo::conversation(2, 1200.0, kRate, 5);
    ASSERT_TRUE(writeWav(path("call.wav"), demo::mix(voices, 0.7f), 1, kRate));
    // A recorder 2500 ppm fast: 3 s ahead after 20 minutes.
    ASSERT_TRUE(writeWav(path("fast.wav"), demo::resampleByRatio(voices[0], 1.0025), 1, kRate));
    const Outcome outcome = run({QStringLiteral("--json"), QStringLiteral("--no-precise"),
                                 path("call.wav"), path("fast.wav")});
    EXPECT_EQ(outcome.exitCode, 3) << outcome.out.toStdString();
    const QJsonObject file = jsonOf(outcome)[QStringLiteral("files")][0].toObject();
    EXPECT_TRUE(warningCodes(file).contains(QStringLiteral("DRIFT_NOT_FOLLOWED")))
        << warningCodes(file).join(' ').toStdString();
}

TEST_F(CorvaleSync, AStoppedJsonRunStillPrintsItsReport) {
    const QStringList files = session(1200.0);
    QProcess process;
    prepare(process, QStringList(files) << QStringLiteral("--json"));
    bool sent = false;
    QObject::connect(&process, &QProcess::readyReadStandardError, [&] {
        if (!sent && process.readAllStandardError().contains("Converting")) {
            sent = true;
            ::kill(pid_t(process.processId()), SIGTERM);
        }
    });
    process.start();
    ASSERT_TRUE(waitUntil([&] { return process.state() == QProcess::NotRunning; }, 120000));
    EXPECT_EQ(process.exitCode(), 128 + SIGTERM);
    const QJsonObject root = QJsonDocument::fromJson(process.readAllStandardOutput()).object();
    EXPECT_EQ(root[QStringLiteral("outcome")], QStringLiteral("cancelled"));
    EXPECT_EQ(root[QStringLiteral("counts")][QStringLiteral("cancelled")].toInt(), 2);
    for (const QJsonValue& file : root[QStringLiteral("files")].toArray())
        EXPECT_EQ(file[QStringLiteral("verdict")], QStringLiteral("cancelled"));
}

// Killed mid-write, nothing is left in the output folder: the outputs being written have no
// name until they are complete.
TEST_F(CorvaleSync, AKillMidWriteLeavesNoPartialOutput) {
    const QStringList files = session(600.0);
    QProcess process;
    prepare(process, files);
    QByteArray err;
    QObject::connect(&process, &QProcess::readyReadStandardError, [&] {
        err += process.readAllStandardError();
        if (err.contains(": Processing"))
            ::kill(pid_t(process.processId()), SIGKILL);
    });
    process.start();
    ASSERT_TRUE(waitUntil([&] { return process.state() == QProcess::NotRunning; }, 120000));
    EXPECT_EQ(process.exitStatus(), QProcess::CrashExit) << err.toStdString();
    EXPECT_TRUE(
        QDir(m_dir.path()).entryList({QStringLiteral(".*")}, QDir::Files | QDir::Hidden).isEmpty());
}

// Inputs that used to hang the run for ever: a track whose output name cannot exist (over the
// file system's 255 bytes) and a named pipe. Each fails on its own with a clear message; the
// other track is synced.
TEST_F(CorvaleSync, AnImpossibleNameAndAPipeFailClearlyInsteadOfHanging) {
    const QStringList files = session(20.0);
    const QString longName = path(QString(245, QLatin1Char('n')) + QStringLiteral(".wav"));
    ASSERT_TRUE(QFile::copy(files[1], longName));
    const QString pipe = path(QStringLiteral("pipe.wav"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(pipe).constData(), 0600), 0);
    QProcess process;
    prepare(process, {files[0], longName, pipe, files[2], QStringLiteral("--json")});
    process.start();
    const bool ended = process.waitForFinished(90000);
    if (!ended)
        process.kill();
    ASSERT_TRUE(ended) << "the run hung";
    EXPECT_EQ(process.exitCode(), 1);
    const QJsonArray items =
        QJsonDocument::fromJson(process.readAllStandardOutput()).object()["files"].toArray();
    ASSERT_EQ(items.size(), 3);
    EXPECT_EQ(items[0].toObject()["status"].toString(), QStringLiteral("failed"));
    EXPECT_TRUE(items[0].toObject()["error"].toString().contains("too long"))
        << items[0].toObject()["error"].toString().toStdString();
    EXPECT_EQ(items[1].toObject()["status"].toString(), QStringLiteral("failed"));
    EXPECT_TRUE(items[1].toObject()["error"].toString().contains("not a regular file"))
        << items[1].toObject()["error"].toString().toStdString();
    EXPECT_EQ(items[2].toObject()["status"].toString(), QStringLiteral("complete"));
    EXPECT_TRUE(QFile::exists(path(QStringLiteral("bob-synced.wav"))));
}

TEST(ArgumentParser, RefusesLoudnessTargetsOutsideTheUsableRange) {
    const auto action = [](const QString& target) {
        return cli::parseArguments({QStringLiteral("corvale-sync"), QStringLiteral("--normalize"),
                                    target, QStringLiteral("ref.wav"), QStringLiteral("a.wav")})
            .action;
    };
    using Action = cli::ParseOutcome::Action;
    for (const char* target : {"-4", "-4.99", "0", "-70.5", "-200"})
        EXPECT_EQ(action(QString::fromLatin1(target)), Action::usageError) << target;
    for (const char* target : {"-5", "-16", "-23", "-70"})
        EXPECT_EQ(action(QString::fromLatin1(target)), Action::run) << target;
}

TEST(ExitCode, CountsFailuresAboveReviews) {
    RunReport report;
    report.items = {ItemReport{QUrl(), SyncResult{}, std::nullopt}};
    EXPECT_EQ(cli::exitCodeFor(report), cli::exitOk);
    SyncResult notFound;
    notFound.notFound = true;
    report.items.append(ItemReport{QUrl(), notFound, std::nullopt});
    EXPECT_EQ(cli::exitCodeFor(report), cli::exitReview);
    report.outcome = RunOutcome::completedWithFailures;
    EXPECT_EQ(cli::exitCodeFor(report), cli::exitFailed);
}

TEST_F(CorvaleSync, ASparseVoiceThatIsThereIsPlacedNotCalledNotFound) {
    const auto voices = demo::conversation(2, 360.0, kRate, 8);
    ASSERT_TRUE(writeWav(path("call.wav"), demo::mix(voices, 0.7f), 1, kRate));
    // Three short utterances in six minutes, the rest of the track silent.
    const std::int64_t start = 3 * kRate + 417;
    std::vector<float> sparse = demo::excerpt(voices[1], start, 350 * kRate);
    for (std::size_t i = 0; i < sparse.size(); ++i) {
        const double t = double(i) / kRate;
        const bool speaks = (t > 60 && t < 66) || (t > 170 && t < 176) || (t > 290 && t < 296);
        if (!speaks)
            sparse[i] = 0.0f;
    }
    ASSERT_TRUE(writeWav(path("sparse.wav"), sparse, 1, kRate));
    const Outcome outcome = run({QStringLiteral("--json"), path("call.wav"), path("sparse.wav")});
    const QJsonObject file = jsonOf(outcome)[QStringLiteral("files")][0].toObject();
    EXPECT_NE(file[QStringLiteral("verdict")], QStringLiteral("notFound"))
        << warningCodes(file).join(' ').toStdString();
    EXPECT_NEAR(file[QStringLiteral("offsetSeconds")].toDouble(), double(start) / kRate, 0.001);
}
