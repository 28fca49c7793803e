// SPDX-License-Identifier: GPL-3.0-or-later
// A long session end to end: the bare ffmpeg conversions of a reference and four tracks (AAC
// in m4a, 48 kHz), all at once with the run's own arguments, against the whole corvale-sync
// run over the same files, with the run's peak memory.
//
// The tail is the time from the end of the run's last conversion to the end of the run: what
// the producer waits for after ffmpeg is done. It is watched from outside, without help from
// the run: every 10 ms the bench checks the run's ffmpeg child processes (found in /proc) and
// notes the last moment one was still running, so the figure is exact to about 10 ms.
//
// The run is then repeated with loudness normalisation to -16 LUFS, which may cost at most 10 %.
//
//   run_bench [WORKDIR] [MINUTES] [OPTION...]   (defaults: a temp folder, 60 minutes)
// OPTIONs (such as --no-precise) are passed on to corvale-sync.
// Generated inputs are kept in WORKDIR/inputs and reused by later runs. CORVALE_SYNC=PATH runs
// another corvale-sync (an earlier build, say) over the same inputs.
#include "audio/audioconverter.h"
#include "benchsupport.h"
#include "demo/speechgen.h"
#include "support/wavfile.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cstdio>

using namespace corvale;

namespace {

constexpr int kRate = 48000;

// The machine is shared: the figures are read against its load.
QByteArray loadAverage() {
    QFile file(QStringLiteral("/proc/loadavg"));
    if (!file.open(QIODevice::ReadOnly))
        return "?";
    return file.readAll().split(' ').front();
}

long vmHighWaterKb(qint64 pid) {
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').front().toLong();
    }
    return 0;
}

// The state letter of a process ("R", "S", "Z" ...) and its parent, from /proc/PID/stat, which
// reads "pid (comm) state ppid ..." (comm may itself hold blanks or parentheses). Empty state
// when the process is gone.
struct ProcessState {
    QByteArray comm;
    char state = 0;
    qint64 parent = 0;
};
ProcessState processState(const QString& pid) {
    QFile stat(QStringLiteral("/proc/") + pid + QStringLiteral("/stat"));
    if (!stat.open(QIODevice::ReadOnly))
        return {};
    const QByteArray text = stat.read(512);
    const qsizetype open = text.indexOf('(');
    const qsizetype close = text.lastIndexOf(')');
    if (open < 0 || close < open || text.size() < close + 3)
        return {};
    const QList<QByteArray> fields = text.mid(close + 2).split(' ');
    return {text.mid(open + 1, close - open - 1), fields[0].isEmpty() ? char(0) : fields[0][0],
            fields.size() > 1 ? fields[1].toLongLong() : 0};
}

// The ffmpeg processes the run has started so far. Scanning /proc costs the shared machine
// real time, so it is done only until every conversion has been seen.
QStringList ffmpegChildren(qint64 parent) {
    QStringList found;
    for (const QString& pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        if (pid.isEmpty() || !pid.front().isDigit())
            continue;
        const ProcessState process = processState(pid);
        if (process.comm == "ffmpeg" && process.parent == parent)
            found << pid;
    }
    return found;
}

QStringList makeInputs(const QString& folder, double minutes) {
    QDir().mkpath(folder);
    const QStringList names{"reference.m4a", "alice.m4a", "bob.m4a", "carol.m4a", "dan.m4a"};
    QStringList paths;
    bool complete = true;
    for (const QString& name : names) {
        paths << QDir(folder).filePath(name);
        complete = complete && QFileInfo::exists(paths.back());
    }
    if (complete)
        return paths;
    std::fprintf(stderr, "generating %.0f minutes of audio...\n", minutes);
    const double seconds = minutes * 60.0;
    const auto voices = demo::conversation(4, seconds, kRate, 77);
    auto encode = [&](const std::vector<float>& samples, const QString& out) {
        const QString wav = out + QStringLiteral(".wav");
        test::writeWav(wav, samples, 1, kRate);
        auto* p = new QProcess;
        p->start(QStringLiteral("ffmpeg"),
                 {"-y", "-loglevel", "error", "-i", wav, "-c:a", "aac", "-b:a", "128k", out});
        p->waitForFinished(-1);
        QFile::remove(wav);
        delete p;
    };
    encode(demo::mix(voices, 0.7f), paths[0]);
    const auto length = std::int64_t(seconds * kRate);
    const double offsets[] = {12.3, -4.0, 30.0, 2.5};
    for (int i = 0; i < 4; ++i) {
        const auto start = std::int64_t(offsets[i] * kRate);
        auto track =
            demo::excerpt(voices[std::size_t(i)], start, length - std::max<std::int64_t>(start, 0));
        // Three tracks on drifting clocks: +0.7 s, -0.5 s and +300 ppm over the run.
        const double drift[] = {0.0, 0.7, -0.5, 300e-6 * seconds};
        if (drift[i] != 0.0)
            track = demo::resampleByRatio(track, 1.0 + drift[i] / seconds);
        encode(track, paths[i + 1]);
    }
    return paths;
}

struct RunFigures {
    double seconds = 0.0;
    double tail = 0.0; // from the last conversion's end to the run's end
    long peakKb = 0;
    int exitCode = 0;
    QByteArray report;
};

// One whole corvale-sync run over the inputs into a fresh outDir, which is removed after.
RunFigures wholeRun(const QStringList& inputs, const QString& outDir, const QStringList& options) {
    QDir(outDir).removeRecursively();
    QElapsedTimer timer;
    QProcess run;
    run.setProgram(qEnvironmentVariable("CORVALE_SYNC", QStringLiteral(CORVALE_SYNC_BINARY)));
    run.setArguments(QStringList(inputs) << "--output" << outDir << "--no-sound"
                                         << "--no-auto-populate"
                                         << "--no-label" << options);
    run.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    timer.start();
    run.start();
    run.waitForStarted();
    const qint64 pid = run.processId();
    RunFigures figures;
    double lastConversionSeen = 0.0;
    QStringList conversions;
    while (!run.waitForFinished(10)) {
        figures.peakKb = std::max(figures.peakKb, vmHighWaterKb(pid));
        if (conversions.size() < inputs.size()) {
            for (const QString& child : ffmpegChildren(pid)) {
                if (!conversions.contains(child))
                    conversions << child;
            }
        }
        const bool converting =
            std::any_of(conversions.begin(), conversions.end(), [](const QString& child) {
                const char state = processState(child).state;
                return state != 0 && state != 'Z';
            });
        if (converting)
            lastConversionSeen = timer.elapsed() / 1000.0;
    }
    figures.seconds = timer.elapsed() / 1000.0;
    figures.tail = figures.seconds - lastConversionSeen;
    figures.exitCode = run.exitCode();
    figures.report = run.readAllStandardOutput();
    QDir(outDir).removeRecursively();
    return figures;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    QTemporaryDir scratch;
    const QString work = args.size() > 1 ? args[1] : scratch.path();
    const double minutes = args.size() > 2 ? args[2].toDouble() : 60.0;
    const QStringList inputs = makeInputs(QDir(work).filePath(QStringLiteral("inputs")), minutes);
    const QByteArray loadBefore = loadAverage();

    // Bare conversions, exactly as the run starts them.
    const QString convertDir = QDir(work).filePath(QStringLiteral("bare"));
    const double bare = bench::bareConversionSeconds(inputs, convertDir, kRate);
    const QString outDir = QDir(work).filePath(QStringLiteral("synced"));

    const RunFigures plain = wholeRun(inputs, outDir, QStringList{"--no-normalize"} + args.mid(3));
    const RunFigures normalised =
        wholeRun(inputs, outDir, QStringList{"--normalize", "-16"} + args.mid(3));
    std::printf("%s", plain.report.constData());
    std::printf("\nsession: reference + 4 tracks, %.0f min each, AAC m4a at 48 kHz, %d cores\n",
                minutes, QThread::idealThreadCount());
    std::printf("bare ffmpeg conversions (all at once): %8.2f s\n", bare);
    std::printf("whole corvale-sync run:                %8.2f s  (%.2f x bare; target <= 1.25)\n",
                plain.seconds, plain.seconds / bare);
    std::printf("last conversion's end to run's end:    %8.2f s  (target <= 1.0)\n", plain.tail);
    std::printf("peak memory of the run (VmHWM):        %8.1f MB (target <= 150)\n",
                plain.peakKb / 1024.0);
    std::printf(
        "whole run normalising to -16 LUFS:     %8.2f s  (%.3f x without; target <= 1.10)\n",
        normalised.seconds, normalised.seconds / plain.seconds);
    std::printf("  its tail / peak memory:              %8.2f s  / %.1f MB\n", normalised.tail,
                normalised.peakKb / 1024.0);
    std::printf("load average (1 min) before / after:   %8s / %s\n", loadBefore.constData(),
                loadAverage().constData());
    std::printf("exit codes: %d / %d\n", plain.exitCode, normalised.exitCode);
    return plain.exitCode != 0 ? plain.exitCode : normalised.exitCode;
}
