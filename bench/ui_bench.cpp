// SPDX-License-Identifier: GPL-3.0-or-later
// How responsive the main window stays during a run: the longest stall of the GUI event loop
// while the real window syncs four participants (the demo session: an eight-minute call at
// 48 kHz, Alice's m4a, Bob's mp3, Carol's first part and Dan's drifting wav). A 1 ms timer
// ticks throughout; a stall is the gap between two ticks beyond the timer's interval.
//
//   ui_bench [WORKDIR]      (default: a temp folder; the session is generated there once)
// Runs on the offscreen platform unless a display is given. Target: longest stall < 50 ms.
#include "cli/demosession.h"
#include "mainwindow.h"

#include "audio/ffmpeglocator.h"
#include "session/appviewmodel.h"
#include "session/preferences.h"

#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <memory>
#include <vector>

using namespace corvale;

namespace {

// CPU time of the calling thread, ms: a gap that used little of it was the machine's doing
// (another process had the core), not work done on the GUI thread.
double threadCpuMs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) * 1e3 + double(ts.tv_nsec) / 1e6;
}

struct Stalls {
    double longest = 0.0;     // wall time between ticks, beyond the interval
    double longestBusy = 0.0; // GUI-thread CPU time between ticks
};

// Runs the session once and returns its longest event-loop stalls in ms.
Stalls measure(const QString& reference, const QStringList& inputs, const QString& workOut,
               const QString& ffmpeg, bool showWindow) {
    const QString out =
        workOut + (showWindow ? QStringLiteral("-window") : QStringLiteral("-alone"));
    QDir().mkpath(out);
    AppViewModel session(ffmpeg, nullptr);
    std::unique_ptr<MainWindow> window;
    if (showWindow) {
        window = std::make_unique<MainWindow>(&session);
        window->show();
    }
    session.addReferenceFile(QUrl::fromLocalFile(reference));
    QList<QUrl> urls;
    for (const QString& file : inputs)
        urls << QUrl::fromLocalFile(file);
    session.addIndividualFiles(urls);
    session.setOutputFolder(QUrl::fromLocalFile(out));

    std::vector<double> gaps;
    std::vector<double> busy;
    double cpuMark = 0.0;
    QElapsedTimer clock;
    QElapsedTimer since;
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    ticker.setInterval(1);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        gaps.push_back(double(since.nsecsElapsed()) / 1e6);
        since.restart();
        const double cpu = threadCpuMs();
        busy.push_back(cpu - cpuMark);
        cpuMark = cpu;
    });
    QObject::connect(&session, &AppViewModel::runEnded, qApp,
                     [] { QTimer::singleShot(50, qApp, &QApplication::quit); });
    QTimer::singleShot(0, qApp, [&] {
        clock.start();
        since.start();
        cpuMark = threadCpuMs();
        ticker.start();
        session.startProcessing();
    });
    QApplication::exec();
    const double runMs = double(clock.elapsed());

    std::sort(gaps.begin(), gaps.end());
    const double longest = gaps.empty() ? 0.0 : gaps.back() - 1.0;
    const double p99 = gaps.empty() ? 0.0 : gaps[std::size_t(double(gaps.size() - 1) * 0.99)] - 1.0;
    const double longestBusy = busy.empty() ? 0.0 : *std::max_element(busy.begin(), busy.end());
    const auto over16 = std::count_if(gaps.begin(), gaps.end(), [](double g) { return g > 17.0; });
    int complete = 0;
    for (const AudioFileItem* item : session.individualFiles())
        complete += item->status().is(ProcessingStatus::Kind::complete) ? 1 : 0;
    std::printf("%s: four-file run %.1f s, %d of %lld files complete, status \"%s\"\n",
                showWindow ? "with the window" : "run alone", runMs / 1000.0, complete,
                static_cast<long long>(session.individualFiles().size()),
                qPrintable(session.statusMessage()));
    std::printf("event loop: %zu ticks, longest stall %.1f ms (target < 50 ms), 99th percentile "
                "%.1f ms, %lld stalls over 16 ms; longest GUI-thread busy stretch %.1f ms\n",
                gaps.size(), longest, p99, static_cast<long long>(over16), longestBusy);
    QDir(out).removeRecursively();
    return {longest, longestBusy};
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    Preferences::setOverride(QStringLiteral("chimeWhenDone"), false);
    Preferences::setOverride(QStringLiteral("autoPopulateFiles"), false);
    const auto ffmpeg = findFFmpeg();
    if (!ffmpeg) {
        std::fputs("ffmpeg not found\n", stderr);
        return 1;
    }
    QTemporaryDir temp;
    const QString work = argc > 1 ? QString::fromLocal8Bit(argv[1]) : temp.path();
    const QString sessionDir = QDir(work).filePath(QStringLiteral("session"));
    QStringList inputs;
    QString reference;
    if (QFileInfo::exists(QDir(sessionDir).filePath(QStringLiteral("Call recording.m4a")))) {
        reference = QDir(sessionDir).filePath(QStringLiteral("Call recording.m4a"));
        for (const char* name :
             {"Alice - local.m4a", "Bob - local.mp3", "Carol part 1.wav", "Dan - local.wav"})
            inputs << QDir(sessionDir).filePath(QString::fromUtf8(name));
    } else {
        std::fputs("Generating the session…\n", stderr);
        const cli::DemoSession demo = cli::createDemoSession(sessionDir, *ffmpeg);
        if (!demo.error.isEmpty()) {
            std::fprintf(stderr, "%s\n", qPrintable(demo.error));
            return 1;
        }
        reference = demo.reference;
        for (const QString& file : demo.files) {
            if (!file.contains(QStringLiteral("part 2")))
                inputs << file;
        }
    }
    const QString out =
        QDir(work).filePath(QStringLiteral("out-%1").arg(QDateTime::currentMSecsSinceEpoch()));

    // The same run without a window first: what the run itself costs the event loop.
    const Stalls alone = measure(reference, inputs, out, *ffmpeg, false);
    const Stalls withWindow = measure(reference, inputs, out, *ffmpeg, true);
    std::printf("longest stall: %.1f ms with the window (%.1f ms of it GUI-thread work), "
                "%.1f ms for the run alone (%.1f ms of work); target < 50 ms\n",
                withWindow.longest, withWindow.longestBusy, alone.longest, alone.longestBusy);
    return withWindow.longest < 50.0 ? 0 : 3;
}
