// SPDX-License-Identifier: GPL-3.0-or-later
// Takes the README's screenshots of the real windows on a generated demo session:
//   corvale-screenshots OUTPUT_DIR [WIDTH]
// Run it under xvfb-run (or QT_QPA_PLATFORM=offscreen). Settings go to a throwaway place.
#include "aboutdialog.h"
#include "cli/demosession.h"
#include "contentview.h"
#include "elidedlabel.h"
#include "filerowview.h"
#include "fileslistview.h"
#include "mainwindow.h"
#include "preferencesview.h"
#include "progressfloaterpanel.h"
#include "warningspopover.h"

#include "audio/ffmpeglocator.h"
#include "demo/speechgen.h"
#include "session/appviewmodel.h"
#include "session/preferences.h"
#include "session/sessionhost.h"

#include <QApplication>
#include <QCheckBox>
#include <QDeadlineTimer>
#include <QDir>
#include <QLabel>
#include <QPainter>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTextStream>
#include <QThread>
#include <QToolButton>
#include <QToolTip>

#include <sndfile.h>

#include <cmath>
#include <cstdio>
#include <random>

using namespace corvale;

namespace {

bool waitFor(const std::function<bool()>& condition, int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
    return true;
}

void settle() {
    waitFor([] { return false; }, 400);
}

bool save(const QImage& image, const QString& dir, const QString& name) {
    const QString path = QDir(dir).filePath(name);
    const bool ok = image.save(path);
    QTextStream(stdout) << (ok ? "wrote " : "FAILED ") << path << " (" << image.width() << "×"
                        << image.height() << ")\n";
    return ok;
}

QImage grab(QWidget* widget) {
    return widget->grab().toImage();
}

// A recording from another episode, which matches nothing in this one's call.
bool writeUnrelated(const QString& path) {
    constexpr double rate = 48000.0;
    const auto voice = demo::speechLike(150.0, rate, 99, 0.4f);
    SF_INFO info{};
    info.channels = 1;
    info.samplerate = int(rate);
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* file = sf_open(QFile::encodeName(path).constData(), SFM_WRITE, &info);
    if (!file)
        return false;
    sf_command(file, SFC_SET_CLIPPING, nullptr, SF_TRUE);
    const bool ok =
        sf_writef_float(file, voice.data(), sf_count_t(voice.size())) == sf_count_t(voice.size());
    return sf_close(file) == 0 && ok;
}

// Paints a separate window (popover, tooltip) over a grab of window where it is shown.
QImage overlay(QWidget* window, QWidget* top) {
    const QImage shot = grab(window);
    const QImage over = grab(top);
    const QPoint at = window->mapFromGlobal(top->pos());
    QImage canvas(std::max(shot.width(), at.x() + over.width()),
                  std::max(shot.height(), at.y() + over.height()), QImage::Format_ARGB32);
    canvas.fill(Qt::transparent);
    QPainter painter(&canvas);
    painter.drawImage(0, 0, shot);
    painter.fillRect(QRect(at + QPoint(3, 3), over.size()), QColor(0, 0, 0, 40));
    painter.drawImage(at, over);
    return canvas;
}

} // namespace

int main(int argc, char** argv) {
    QStandardPaths::setTestModeEnabled(true);
    QApplication::setOrganizationName(QStringLiteral("CorvaleScreenshots"));
    QApplication::setApplicationName(QStringLiteral("CorvaleScreenshots"));
    QApplication::setApplicationVersion(QStringLiteral(CORVALE_VERSION));
    QApplication app(argc, argv);
    QTemporaryDir scratch;
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, scratch.path());
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, scratch.path());
    if (argc < 2) {
        std::fputs("usage: corvale-screenshots OUTPUT_DIR [WIDTH]\n", stderr);
        return 2;
    }
    const QString outDir = QString::fromLocal8Bit(argv[1]);
    const int width = argc > 2 ? QString::fromLocal8Bit(argv[2]).toInt() : 600;
    QDir().mkpath(outDir);
    Preferences::setOverride(QStringLiteral("chimeWhenDone"), false);
    Preferences::setOverride(QStringLiteral("autoPopulateFiles"), false);

    const auto ffmpeg = findFFmpeg();
    if (!ffmpeg) {
        std::fputs("ffmpeg not found\n", stderr);
        return 1;
    }
    const QString sessionDir = scratch.filePath(QStringLiteral("Episode 12"));
    std::fputs("Generating the demo session…\n", stderr);
    const cli::DemoSession demo = cli::createDemoSession(sessionDir, *ffmpeg);
    if (!demo.error.isEmpty()) {
        std::fprintf(stderr, "%s\n", qPrintable(demo.error));
        return 1;
    }
    const QString unrelated = QDir(sessionDir).filePath(QStringLiteral("Erin - episode 11.wav"));
    if (!writeUnrelated(unrelated))
        return 1;

    SessionHost host;
    AppViewModel session(*ffmpeg, &host);
    MainWindow window(&session);
    window.resize(width, 480);
    window.show();
    settle();
    save(grab(&window), outDir, QStringLiteral("main-empty.png"));

    session.addReferenceFile(QUrl::fromLocalFile(demo.reference));
    QList<QUrl> files;
    for (const QString& file : demo.files)
        files << QUrl::fromLocalFile(file);
    files << QUrl::fromLocalFile(unrelated);
    session.addIndividualFiles(files);
    window.adjustSize();
    window.resize(width, window.height());
    settle();
    save(grab(&window), outDir, QStringLiteral("main-files.png"));

    ProgressFloaterPanel floater(&session);
    floater.show();
    session.startProcessing();
    waitFor([&] { return session.overallProgress() >= 0.35 || !session.runUnderWay(); }, 60000);
    save(grab(&window), outDir, QStringLiteral("main-running.png"));
    save(grab(&floater), outDir, QStringLiteral("floater.png"));
    waitFor([&] { return !session.runUnderWay(); }, 300000);
    floater.hide();
    settle();

    QTextStream report(stdout);
    FileRowView* flagged = nullptr;
    for (FileRowView* row : window.content()->filesList()->rows()) {
        const SyncResult* result = row->item()->status().result();
        report << row->nameLabel()->text() << ": " << statusText(row->item()->status());
        if (result) {
            report << " — " << result->warnings.size() << " warning(s), "
                   << result->driftPoints.size() << " drift point(s)";
            if (!result->warnings.isEmpty() && !flagged)
                flagged = row;
        }
        report << "\n";
    }
    report.flush();
    save(grab(&window), outDir, QStringLiteral("main-done.png"));
    if (flagged) {
        flagged->warningButton()->click();
        settle();
        if (WarningsPopover* popover = flagged->popover()) {
            save(overlay(&window, popover), outDir, QStringLiteral("main-review-popover.png"));
            save(grab(popover), outDir, QStringLiteral("review-popover.png"));
            popover->close();
            settle();
        }
    }
    // The drift chart of the file whose clock drifted most, as its row's tooltip shows it.
    FileRowView* drifting = nullptr;
    double mostDrift = 0.0;
    for (FileRowView* row : window.content()->filesList()->rows()) {
        const SyncResult* result = row->item()->status().result();
        if (result && std::fabs(result->finalDriftSeconds) > mostDrift) {
            mostDrift = std::fabs(result->finalDriftSeconds);
            drifting = row;
        }
    }
    for (FileRowView* row : window.content()->filesList()->rows()) {
        if (row != drifting || row->richToolTip().isEmpty())
            continue;
        QToolTip::showText(row->mapToGlobal(QPoint(60, row->height() - 4)), row->richToolTip(),
                           row);
        settle();
        for (QWidget* top : QApplication::topLevelWidgets()) {
            if (top->inherits("QTipLabel") && top->isVisible())
                save(overlay(&window, top), outDir, QStringLiteral("main-drift-tooltip.png"));
        }
        QToolTip::hideText();
        break;
    }

    // A file that cannot be read: the summary counts it beside the rest.
    QFile broken(QDir(sessionDir).filePath(QStringLiteral("Frank - broken.m4a")));
    if (broken.open(QIODevice::WriteOnly)) {
        broken.write("not audio");
        broken.close();
    }
    session.addIndividualFiles({QUrl::fromLocalFile(broken.fileName())});
    window.adjustSize();
    window.resize(width, window.height());
    session.startProcessing();
    waitFor([&] { return !session.runUnderWay(); }, 300000);
    settle();
    save(grab(&window), outDir, QStringLiteral("main-failed.png"));
    // A window taller than its content: the list takes the spare height.
    const int fitting = window.height();
    window.resize(width, fitting + 260);
    settle();
    save(grab(&window), outDir, QStringLiteral("main-tall.png"));
    window.resize(width, fitting);
    // A refused request says so in the status line.
    session.addIndividualFiles({QUrl::fromLocalFile(demo.reference)});
    settle();
    save(grab(&window), outDir, QStringLiteral("main-notice.png"));

    session.startProcessing();
    waitFor([&] { return session.overallProgress() >= 0.35 || !session.runUnderWay(); }, 60000);
    session.cancelProcessing();
    waitFor([&] { return !session.runUnderWay(); }, 60000);
    settle();
    save(grab(&window), outDir, QStringLiteral("main-cancelled.png"));

    AboutDialog about;
    about.show();
    settle();
    save(grab(&about), outDir, QStringLiteral("about.png"));
    about.close();

    Preferences::clearOverrides();
    PreferencesView preferences(&host);
    preferences.normalizeToggle()->setChecked(true);
    preferences.labelToggle()->setChecked(true);
    preferences.show();
    settle();
    save(grab(&preferences), outDir, QStringLiteral("preferences.png"));
    return 0;
}
