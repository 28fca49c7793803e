// SPDX-License-Identifier: GPL-3.0-or-later
#include "audio/toolrunner.h"

#include "support/testenv.h"

#include <QAtomicInteger>
#include <QAtomicPointer>
#include <QCoreApplication>
#include <QFile>
#include <QObject>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <memory>
#include <optional>
#include <thread>

using namespace corvale;
using corvale::test::childProcessCount;
using corvale::test::makeFakeTool;
using corvale::test::realFFmpeg;
using corvale::test::waitUntil;

namespace {

class ToolRunnerTest : public ::testing::Test {
protected:
    // Runs the invocation and waits for its outcome (nothing if it did not arrive in time).
    std::optional<ToolOutcome> run(const ToolInvocation& invocation, std::stop_token stop = {},
                                   int timeoutMs = 30000) {
        std::optional<ToolOutcome> outcome;
        runTool(invocation, std::move(stop), &m_context,
                [&outcome](ToolOutcome o) { outcome = std::move(o); });
        waitUntil([&] { return outcome.has_value(); }, timeoutMs);
        return outcome;
    }

    QString fake(const QString& name, const QString& script) {
        return makeFakeTool(m_dir.path(), name, script);
    }

    QTemporaryDir m_dir;
    QObject m_context;
};

// A slow real ffmpeg run: a minute of generated tone played at its natural pace.
ToolInvocation slowFFmpeg() {
    return {realFFmpeg(),
            {"-hide_banner", "-loglevel", "error", "-re", "-f", "lavfi", "-i",
             "sine=frequency=440:duration=60", "-f", "null", "-"}};
}

// An orphan ended but not yet reaped by whoever adopted it.
bool isZombie(qint64 pid) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return false;
    const QByteArray text = stat.readAll();
    const qsizetype close = text.lastIndexOf(')');
    return close > 0 && text.mid(close + 2, 1) == "Z";
}

// Delivers every call already posted to this thread, so that one that should never come has
// had its chance.
void deliverPostedCalls() {
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
}

bool processIsGone(qint64 pid) {
    return ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

} // namespace

TEST_F(ToolRunnerTest, ReportsRealFFmpegSuccessAndFailure) {
    const auto ok = run({realFFmpeg(), {"-hide_banner", "-version"}});
    ASSERT_TRUE(ok);
    EXPECT_TRUE(ok->started);
    EXPECT_FALSE(ok->cancelled);
    EXPECT_EQ(ok->exitStatus, 0);
    EXPECT_TRUE(ok->errorOutput.isEmpty()) << "standard output must not reach the error stream";

    const auto failed = run({realFFmpeg(),
                             {"-hide_banner", "-loglevel", "error", "-i",
                              m_dir.filePath("missing.wav"), "-f", "null", "-"}});
    ASSERT_TRUE(failed);
    EXPECT_TRUE(failed->started);
    EXPECT_NE(failed->exitStatus, 0);
    EXPECT_TRUE(failed->errorOutput.contains("No such file or directory"));
}

TEST_F(ToolRunnerTest, CollectsOnlyTheErrorStreamAndPassesArgumentsVerbatim) {
    const QString tool = fake("echoargs", R"(echo "to stdout"
for a in "$@"; do printf '[%s]' "$a" >&2; done
exit 4)");
    const auto outcome = run({tool, {"a b", "it's", "\"q\"", "$HOME", "*", ""}});
    ASSERT_TRUE(outcome);
    EXPECT_EQ(outcome->exitStatus, 4);
    EXPECT_EQ(outcome->errorOutput, QByteArray("[a b][it's][\"q\"][$HOME][*][]"));
}

TEST_F(ToolRunnerTest, GivesTheChildAClosedStandardInput) {
    // With an open input the child would wait for a line forever.
    const auto outcome = run({fake("reader", "read line\nexit 7"), {}}, {}, 10000);
    ASSERT_TRUE(outcome) << "the child waited on its standard input";
    EXPECT_EQ(outcome->exitStatus, 7);
}

TEST_F(ToolRunnerTest, CountsADeathBySignalAsNonZero) {
    const auto outcome = run({fake("crasher", "kill -KILL $$"), {}});
    ASSERT_TRUE(outcome);
    EXPECT_TRUE(outcome->started);
    EXPECT_NE(outcome->exitStatus, 0);
}

TEST_F(ToolRunnerTest, PassesOnTheStartErrorOfAMissingOrNonExecutableProgram) {
    const auto missing = run({m_dir.filePath("no-such-tool"), {}});
    ASSERT_TRUE(missing);
    EXPECT_FALSE(missing->started);
    EXPECT_FALSE(missing->cancelled);
    EXPECT_FALSE(missing->startError.isEmpty());

    QFile plain(m_dir.filePath("not-executable"));
    ASSERT_TRUE(plain.open(QIODevice::WriteOnly));
    plain.write("#!/bin/sh\nexit 0\n");
    plain.close();
    const auto notExecutable = run({plain.fileName(), {}});
    ASSERT_TRUE(notExecutable);
    EXPECT_FALSE(notExecutable->started);
    EXPECT_FALSE(notExecutable->startError.isEmpty());
}

TEST_F(ToolRunnerTest, StopRequestedBeforeTheStartRunsNoProcessAndCallsBackLater) {
    const QString marker = m_dir.filePath("ran");
    const QString tool = fake("marker", QStringLiteral("touch '%1'").arg(marker));
    std::stop_source source;
    source.request_stop();

    std::optional<ToolOutcome> outcome;
    runTool({tool, {}}, source.get_token(), &m_context,
            [&outcome](ToolOutcome o) { outcome = std::move(o); });
    EXPECT_FALSE(outcome) << "the callback must not run inside runTool";
    ASSERT_TRUE(waitUntil([&] { return outcome.has_value(); }, 5000));
    EXPECT_TRUE(outcome->cancelled);
    EXPECT_FALSE(outcome->started);
    EXPECT_EQ(childProcessCount(), 0);
    EXPECT_FALSE(QFile::exists(marker));
}

// A wrapper script given as the tool: its own children must not outlive a stop.
TEST_F(ToolRunnerTest, AStopEndsEverythingTheToolStarted) {
    const QString pidFile = m_dir.filePath("child.pid");
    const QString tool = fake("wrapper", QStringLiteral("sleep 300 &\necho $! > '%1.tmp'\n"
                                                        "mv '%1.tmp' '%1'\nwait")
                                             .arg(pidFile));
    std::stop_source source;
    std::optional<ToolOutcome> outcome;
    runTool({tool, {}}, source.get_token(), &m_context,
            [&outcome](ToolOutcome o) { outcome = std::move(o); });
    ASSERT_TRUE(waitUntil([&] { return QFile::exists(pidFile); }, 10000));
    QFile file(pidFile);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const qint64 child = file.readAll().trimmed().toLongLong();
    ASSERT_GT(child, 0);
    source.request_stop();
    ASSERT_TRUE(waitUntil([&] { return outcome.has_value(); }, 10000));
    EXPECT_TRUE(waitUntil([&] { return processIsGone(child) || isZombie(child); }, 5000))
        << "the wrapper's child outlived the stop";
    if (!processIsGone(child))
        ::kill(pid_t(child), SIGKILL);
}

TEST_F(ToolRunnerTest, StopFromAnotherThreadTerminatesRealFFmpegPromptly) {
    std::stop_source source;
    std::optional<ToolOutcome> outcome;
    runTool(slowFFmpeg(), source.get_token(), &m_context,
            [&outcome](ToolOutcome o) { outcome = std::move(o); });
    ASSERT_TRUE(waitUntil([] { return childProcessCount() == 1; }, 5000));
    ASSERT_FALSE(outcome) << "the slow run ended on its own";

    std::thread([&source] { source.request_stop(); }).join();
    ASSERT_TRUE(waitUntil([&] { return outcome.has_value(); }, 5000))
        << "the child was not terminated";
    EXPECT_TRUE(outcome->started);
    EXPECT_FALSE(outcome->cancelled) << "a stop while running ends like any non-zero exit";
    EXPECT_NE(outcome->exitStatus, 0);
}

TEST_F(ToolRunnerTest, DestroyingTheContextKillsTheChildWithoutACallback) {
    const QString pidFile = m_dir.filePath("pid");
    const QString tool =
        fake("sleeper", QStringLiteral("echo $$ > '%1'\nexec sleep 30").arg(pidFile));
    auto context = std::make_unique<QObject>();
    bool called = false;
    runTool({tool, {}}, {}, context.get(), [&called](ToolOutcome) { called = true; });
    ASSERT_TRUE(waitUntil([&] { return QFile(pidFile).size() > 0; }, 5000));
    QFile file(pidFile);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const qint64 pid = file.readAll().trimmed().toLongLong();
    ASSERT_GT(pid, 0);

    context.reset();
    EXPECT_TRUE(processIsGone(pid));
    deliverPostedCalls();
    EXPECT_FALSE(called);
}

TEST_F(ToolRunnerTest, RunsManyChildrenAtOnceWithoutBlockingTheEventLoop) {
    constexpr int count = 8;
    std::vector<std::optional<ToolOutcome>> outcomes(count);
    const QString tool = fake("napper", "sleep 0.5\nexit \"$1\"");
    for (int i = 0; i < count; ++i) {
        runTool({tool, {QString::number(10 + i)}}, {}, &m_context,
                [&outcomes, i](ToolOutcome o) { outcomes[i] = std::move(o); });
    }
    int ticks = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&ticks] { ++ticks; });
    timer.start(10);
    ASSERT_TRUE(waitUntil(
        [&] {
            return std::all_of(outcomes.begin(), outcomes.end(),
                               [](auto& o) { return o.has_value(); });
        },
        20000));
    for (int i = 0; i < count; ++i)
        EXPECT_EQ(outcomes[i]->exitStatus, 10 + i);
    EXPECT_GT(ticks, 5) << "the event loop stalled while the children ran";
}

TEST_F(ToolRunnerTest, CallsBackOnTheThreadThatStartedTheChild) {
    QThread worker;
    worker.start();
    auto* context = new QObject;
    context->moveToThread(&worker);
    QAtomicPointer<QThread> callbackThread;
    QAtomicInteger<int> status(-1);
    const QString tool = fake("quick", "exit 3");
    QMetaObject::invokeMethod(context, [&, context] {
        runTool({tool, {}}, {}, context, [&](ToolOutcome o) {
            callbackThread.storeRelease(QThread::currentThread());
            status.storeRelease(o.exitStatus);
        });
    });
    ASSERT_TRUE(waitUntil([&] { return status.loadAcquire() != -1; }, 10000));
    EXPECT_EQ(callbackThread.loadAcquire(), &worker);
    EXPECT_EQ(status.loadAcquire(), 3);
    QMetaObject::invokeMethod(context, [context] { delete context; });
    worker.quit();
    worker.wait();
}

TEST_F(ToolRunnerTest, TerminateAllToolsEndsEveryChildEvenOneIgnoringSigterm) {
    std::optional<ToolOutcome> polite;
    std::optional<ToolOutcome> stubborn;
    std::optional<ToolOutcome> ffmpeg;
    // Each script says when it stands where the test needs it: the stubborn one only once its
    // trap is set, so the SIGKILL path is the one taken however slow the machine.
    const QString ready = m_dir.filePath("ready");
    runTool({fake("polite", QStringLiteral("echo >> '%1'\nexec sleep 30").arg(ready)), {}}, {},
            &m_context, [&](ToolOutcome o) { polite = std::move(o); });
    runTool(
        {fake("stubborn", QStringLiteral("trap '' TERM\necho >> '%1'\nexec sleep 30").arg(ready)),
         {}},
        {}, &m_context, [&](ToolOutcome o) { stubborn = std::move(o); });
    runTool(slowFFmpeg(), {}, &m_context, [&](ToolOutcome o) { ffmpeg = std::move(o); });
    ASSERT_TRUE(waitUntil(
        [&] {
            QFile file(ready);
            return file.open(QIODevice::ReadOnly) && file.readAll().count('\n') == 2;
        },
        10000));

    terminateAllTools(QDeadlineTimer(500));
    ASSERT_TRUE(waitUntil([&] { return polite && stubborn && ffmpeg; }, 5000));
    EXPECT_NE(polite->exitStatus, 0);
    EXPECT_NE(stubborn->exitStatus, 0);
    EXPECT_NE(ffmpeg->exitStatus, 0);
    terminateAllTools(QDeadlineTimer(500)); // nothing left to end: returns at once
}
