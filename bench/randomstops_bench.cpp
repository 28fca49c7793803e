// SPDX-License-Identifier: GPL-3.0-or-later
// Runs of corvale-sync stopped at random moments by random means, back to back. The session is
// short: a two-minute reference (AAC) and three tracks (one AAC, two WAV), normalised in half
// the runs. Each run is stopped at a moment drawn uniformly over a clean run's length, by
// SIGINT, SIGTERM, SIGHUP, SIGKILL or its output pipe closing (the reader of `2>&1 |` goes
// away). After each run:
//   children  ffmpeg/ffprobe whose command line names the runs' TMPDIR, still there 2 s later
//   folders   run folders left in TMPDIR; after SIGKILL they may stay, but the next run must
//             remove them
//   outputs   anything in the output folder that is hidden, not a readable WAV, or not as
//             long as the same file of a clean run
//   whole     outputs kept, each as long as a clean run's (what a stop leaves is whole)
//   exit      128 + the signal (INT/TERM/HUP), 141 for the pipe, killed for SIGKILL; the run's
//             own code (0 or 3) when it had ended before the stop
// Exits 1 when anything leaked or an exit code was wrong.
//
//   randomstops_bench [WORKDIR] [RUNS] [SEED]   (defaults: a temp folder, 50, from the clock)
// The generated session is kept in WORKDIR/session and reused.
#include "stopchecks.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <random>

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

using namespace corvale;
using namespace corvale::bench;

namespace {

constexpr double kHungSeconds = 60.0; // a stopped run still alive this long counts as hung
// A normal exit is a run that ended before the stop if its last line came no later than this
// after the stop (the line can be on its way while the signal is sent).
constexpr double kRaceSeconds = 0.2;

enum class Stop { sigint, sigterm, sighup, sigkill, pipe };
constexpr Stop kStops[] = {Stop::sigint, Stop::sigterm, Stop::sighup, Stop::sigkill, Stop::pipe};

const char* stopName(Stop stop) {
    switch (stop) {
    case Stop::sigint:
        return "SIGINT";
    case Stop::sigterm:
        return "SIGTERM";
    case Stop::sighup:
        return "SIGHUP";
    case Stop::sigkill:
        return "SIGKILL";
    case Stop::pipe:
        return "pipe";
    }
    return "?";
}

int signalOf(Stop stop) {
    switch (stop) {
    case Stop::sigint:
        return SIGINT;
    case Stop::sigterm:
        return SIGTERM;
    case Stop::sighup:
        return SIGHUP;
    case Stop::sigkill:
        return SIGKILL;
    case Stop::pipe:
        return SIGPIPE;
    }
    return 0;
}

struct Outcome {
    int status = 0;       // from waitpid
    bool hung = false;    // still alive kHungSeconds after the stop (then killed)
    bool stopped = false; // the stop was carried out while the run was alive
    // When the run's last line arrived, in seconds after the stop (-inf: no stop was needed).
    std::optional<double> endAfterStop;
    QByteArray output;
};

double now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Runs corvale-sync with stdout and stderr into one pipe, carrying out `stop` after stopAt s.
Outcome runAndStop(const QStringList& args, const QString& tempRoot, Stop stop, double stopAt) {
    Outcome outcome;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return outcome;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
    std::vector<QByteArray> argStore{QByteArray(CORVALE_SYNC_BINARY)};
    for (const QString& a : args)
        argStore.push_back(QFile::encodeName(a));
    std::vector<char*> argv;
    for (QByteArray& a : argStore)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<QByteArray> envStore{"TMPDIR=" + QFile::encodeName(tempRoot)};
    for (char** e = environ; *e; ++e) {
        if (std::strncmp(*e, "TMPDIR=", 7) != 0)
            envStore.emplace_back(*e);
    }
    std::vector<char*> envp;
    for (QByteArray& e : envStore)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    pid_t pid = 0;
    const int spawned = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    if (spawned != 0) {
        ::close(fds[0]);
        outcome.hung = true;
        return outcome;
    }
    int reader = fds[0];
    const double start = now();
    double stopTime = -1.0;
    double ended = -1.0;
    auto drain = [&](int timeoutMs) {
        if (reader < 0) {
            QThread::msleep(std::uint64_t(timeoutMs));
            return;
        }
        pollfd p{reader, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) <= 0)
            return;
        char buffer[4096];
        const ssize_t n = ::read(reader, buffer, sizeof buffer);
        if (n > 0) {
            outcome.output.append(buffer, n);
            if (ended < 0 && outcome.output.contains("— outputs in "))
                ended = now();
        } else {
            ::close(reader); // the run closed its end: it is exiting
            reader = -1;
        }
    };
    while (true) {
        const pid_t done = ::waitpid(pid, &outcome.status, WNOHANG);
        if (done == pid)
            break;
        const double t = now() - start;
        if (stopTime < 0.0 && t >= stopAt) {
            drain(0);
            stopTime = now();
            outcome.stopped = true;
            if (stop == Stop::pipe) {
                if (reader >= 0)
                    ::close(reader);
                reader = -1;
            } else {
                ::kill(pid, signalOf(stop));
            }
        }
        if (stopTime > 0.0 && now() - stopTime > kHungSeconds) {
            outcome.hung = true;
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &outcome.status, 0);
            break;
        }
        drain(stopTime < 0.0 ? std::clamp(int((stopAt - t) * 1000.0), 1, 20) : 20);
    }
    while (reader >= 0)
        drain(100);
    if (ended > 0.0)
        outcome.endAfterStop = stopTime > 0.0 ? ended - stopTime : -1e300;
    return outcome;
}

struct Tally {
    int runs = 0;
    int stopped = 0;    // stopped while running
    int endedFirst = 0; // ended before the stop
    int children = 0;   // runs that left tools
    int folders = 0;    // runs that left a folder (or a killed run's folder kept by the next)
    int outputs = 0;    // runs that left a bad output
    int wrongExit = 0;
    int hung = 0;
    int wholeOutputs = 0; // whole outputs written before the stop, over all runs
    std::map<QString, int> exits;
};

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    QTemporaryDir scratch;
    const QString work = args.value(0, scratch.path());
    const int runs = args.value(1, QStringLiteral("50")).toInt();
    const std::uint32_t seed =
        args.size() > 2 ? args[2].toUInt() : std::uint32_t(std::random_device{}());
    std::printf("seed %u (randomstops_bench %s %d %u repeats this)\n", seed, qPrintable(work), runs,
                seed);
    const QStringList inputs = makeStopSession(QDir(work).filePath(QStringLiteral("session")));
    if (inputs.isEmpty())
        return 1;
    const QString tempRoot = QDir(work).filePath(QStringLiteral("tmp"));
    const QString outDir = QDir(work).filePath(QStringLiteral("out"));
    QDir(tempRoot).removeRecursively();
    QDir().mkpath(tempRoot);
    auto argsFor = [&](bool normalise) {
        return QStringList{"--no-sound", "--no-auto-populate", "--no-label", "-o", outDir} +
               (normalise ? QStringList{"--normalize", "-16"} : QStringList{"--no-normalize"}) +
               inputs;
    };

    // A clean run of each kind: its length and its outputs' lengths.
    std::map<QString, long long> fullFrames;
    double cleanSeconds[2] = {0.0, 0.0};
    for (int normalise = 0; normalise < 2; ++normalise) {
        QDir(outDir).removeRecursively();
        QDir().mkpath(outDir);
        const double t0 = now();
        const Outcome clean = runAndStop(argsFor(normalise), tempRoot, Stop::sigint, 1e9);
        cleanSeconds[normalise] = now() - t0;
        if (!WIFEXITED(clean.status) ||
            (WEXITSTATUS(clean.status) != 0 && WEXITSTATUS(clean.status) != 3)) {
            std::printf("the clean run failed:\n%s\n", clean.output.constData());
            return 1;
        }
        for (const auto& [name, frames] : outputFrames(outDir))
            fullFrames[name] = frames;
    }
    std::printf("clean run: %.2f s, normalising %.2f s; outputs:", cleanSeconds[0],
                cleanSeconds[1]);
    for (const auto& [name, frames] : fullFrames)
        std::printf(" %s (%lld)", qPrintable(name), frames);
    std::printf("\n\n%4s %-8s %4s %7s  %-6s %5s  %s\n", "run", "stop", "norm", "at s", "exit",
                "whole", "leaks");

    std::mt19937 rng(seed);
    std::map<Stop, Tally> tallies;
    QStringList killedFolders; // left by a SIGKILL, for the next run to remove
    bool anyFault = false;
    for (int i = 0; i < runs; ++i) {
        const Stop stop = kStops[std::uniform_int_distribution<int>(0, 4)(rng)];
        const bool normalise = std::uniform_int_distribution<int>(0, 1)(rng) == 1;
        const double at =
            std::uniform_real_distribution<double>(0.0, cleanSeconds[normalise ? 1 : 0])(rng);
        QDir(outDir).removeRecursively();
        QDir().mkpath(outDir);
        const Outcome o = runAndStop(argsFor(normalise), tempRoot, stop, at);

        Tally& tally = tallies[stop];
        ++tally.runs;
        QStringList leaks;
        const bool endedFirst = o.endAfterStop && *o.endAfterStop < kRaceSeconds;
        QString exit = WIFEXITED(o.status)     ? QString::number(WEXITSTATUS(o.status))
                       : WIFSIGNALED(o.status) ? QStringLiteral("sig%1").arg(WTERMSIG(o.status))
                                               : QStringLiteral("?");
        ++tally.exits[exit];
        const bool normalExit =
            WIFEXITED(o.status) && (WEXITSTATUS(o.status) == 0 || WEXITSTATUS(o.status) == 3);
        bool rightExit = false;
        if (o.hung) {
            ++tally.hung;
            leaks << QStringLiteral("HUNG");
        } else {
            const bool stoppedExit =
                stop == Stop::sigkill
                    ? WIFSIGNALED(o.status) && WTERMSIG(o.status) == SIGKILL
                    : WIFEXITED(o.status) && WEXITSTATUS(o.status) == 128 + signalOf(stop);
            // A run that had written its report may still be on its way out when stopped.
            rightExit = stoppedExit || (endedFirst && normalExit);
            ++(endedFirst ? tally.endedFirst : tally.stopped);
        }
        if (!rightExit) {
            ++tally.wrongExit;
            leaks << QStringLiteral("wrong exit");
        }
        if (const int tools = toolsLeft(tempRoot); tools > 0) {
            ++tally.children;
            leaks << QStringLiteral("%1 tools").arg(tools);
        }
        const QStringList folders = runFolders(tempRoot);
        const bool killed = stop == Stop::sigkill && !endedFirst;
        // A killed run may leave its own folder; the one before it must be gone by now.
        QStringList kept;
        for (const QString& f : folders) {
            if (killedFolders.contains(f) || !killed)
                kept << f;
        }
        if (!kept.isEmpty()) {
            ++tally.folders;
            leaks << QStringLiteral("folders %1").arg(kept.join(' '));
        }
        killedFolders = killed ? folders : QStringList();
        int whole = 0;
        const QStringList bad = badOutputs(outDir, fullFrames, &whole);
        tally.wholeOutputs += whole;
        if (!bad.isEmpty()) {
            ++tally.outputs;
            leaks << bad.join(QStringLiteral(", "));
        }
        anyFault = anyFault || !leaks.isEmpty();
        std::printf("%4d %-8s %4s %7.2f  %-6s %5d  %s%s\n", i + 1, stopName(stop),
                    normalise ? "yes" : "no", at, qPrintable(exit), whole,
                    leaks.isEmpty() ? "none" : qPrintable(leaks.join(QStringLiteral("; "))),
                    endedFirst ? "  (ended before the stop)" : "");
        std::fflush(stdout);
        if (o.hung || !rightExit)
            std::printf("     its output:\n%s\n", o.output.constData());
    }
    // The last killed run's folder goes with one more run.
    if (!killedFolders.isEmpty()) {
        QDir(outDir).removeRecursively();
        QDir().mkpath(outDir);
        runAndStop(argsFor(false), tempRoot, Stop::sigint, 1e9);
        for (const QString& f : runFolders(tempRoot)) {
            if (killedFolders.contains(f)) {
                std::printf("a killed run's folder outlived the next run: %s\n", qPrintable(f));
                anyFault = true;
            }
        }
    }

    std::printf("\n%-8s %5s %8s %8s %9s %8s %8s %6s %5s %6s  %s\n", "stop", "runs", "stopped",
                "ended", "children", "folders", "outputs", "exit!", "hung", "whole", "exit codes");
    Tally total;
    for (const auto& [stop, t] : tallies) {
        QStringList codes;
        for (const auto& [code, n] : t.exits)
            codes << QStringLiteral("%1×%2").arg(n).arg(code);
        std::printf("%-8s %5d %8d %8d %9d %8d %8d %6d %5d %6d  %s\n", stopName(stop), t.runs,
                    t.stopped, t.endedFirst, t.children, t.folders, t.outputs, t.wrongExit, t.hung,
                    t.wholeOutputs, qPrintable(codes.join(' ')));
        total.runs += t.runs;
        total.stopped += t.stopped;
        total.endedFirst += t.endedFirst;
        total.children += t.children;
        total.folders += t.folders;
        total.outputs += t.outputs;
        total.wrongExit += t.wrongExit;
        total.hung += t.hung;
        total.wholeOutputs += t.wholeOutputs;
    }
    std::printf("%-8s %5d %8d %8d %9d %8d %8d %6d %5d %6d\n", "total", total.runs, total.stopped,
                total.endedFirst, total.children, total.folders, total.outputs, total.wrongExit,
                total.hung, total.wholeOutputs);
    std::printf("\n%s (seed %u)\n",
                anyFault ? "SOMETHING LEAKED or exited wrong" : "nothing leaked", seed);
    QDir(tempRoot).removeRecursively();
    QDir(outDir).removeRecursively();
    return anyFault ? 1 : 0;
}
