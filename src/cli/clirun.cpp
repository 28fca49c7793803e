// SPDX-License-Identifier: GPL-3.0-or-later
#include "clirun.h"

#include "audio/ffmpeglocator.h"
#include "clireport.h"
#include "session/appviewmodel.h"
#include "session/preferences.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QTimer>

#include <csignal>

namespace corvale::cli {
namespace {

// Without a window there are no panels; the completion sound is the terminal's bell.
class TerminalHost : public SessionHost {
public:
    TerminalHost(QTextStream& err, bool terminal) : m_err(err), m_terminal(terminal) {}
    void playSound(const QString&) override {
        if (m_terminal)
            m_err << '\a' << Qt::flush;
    }
    void quitApplication() override {}

private:
    QTextStream& m_err;
    bool m_terminal;
};

QUrl localUrl(const QString& path) {
    return QUrl::fromLocalFile(QFileInfo(path).absoluteFilePath());
}

// A tool's multi-line text in one line of a table or a status block.
QString firstLine(const QString& text) {
    return text.section(QLatin1Char('\n'), 0, 0).trimmed();
}

QString progressBar(double progress, int width) {
    const int filled = int(progress * width + 0.5);
    return QLatin1Char('[') + QString(filled, QLatin1Char('#')) +
           QString(width - filled, QLatin1Char('-')) + QLatin1Char(']');
}

} // namespace

CliRun::CliRun(CliOptions options, QTextStream& out, QTextStream& err, bool terminal,
               QObject* parent)
    : QObject(parent), m_options(std::move(options)), m_out(out), m_err(err), m_terminal(terminal) {
}

CliRun::~CliRun() {
    m_session.reset();
}

RunSettings runSettingsFor(const CliOptions& o) {
    RunSettings settings = RunSettings::fromPreferences();
    if (o.normalizeTarget) {
        settings.normalizeLoudness = true;
        settings.targetLUFS = *o.normalizeTarget;
    }
    if (o.noNormalize)
        settings.normalizeLoudness = false;
    if (o.labelNumber) {
        settings.labelEnabled = true;
        settings.labelNumber = *o.labelNumber;
    }
    if (o.noLabel)
        settings.labelEnabled = false;
    if (o.fullNames)
        settings.renameForDropbox = false;
    if (o.noSound)
        settings.chimeWhenDone = false;
    if (o.precise)
        settings.preciseAlignment = *o.precise;
    return settings;
}

void CliRun::start() {
    m_host = std::make_unique<TerminalHost>(m_err, m_terminal);
    std::optional<QString> ffmpeg = findFFmpeg();
    if (!m_options.ffmpegPath.isEmpty()) {
        if (!QFileInfo(m_options.ffmpegPath).isFile()) {
            m_err << "corvale-sync: --ffmpeg: no such file: " << m_options.ffmpegPath << Qt::endl;
            finish(exitUsage);
            return;
        }
        ffmpeg = m_options.ffmpegPath;
    }
    m_session = std::make_unique<AppViewModel>(ffmpeg, m_host.get());
    AppViewModel& session = *m_session;

    if (!QFileInfo(m_options.reference).isFile()) {
        m_err << "corvale-sync: the reference is not a readable file: " << m_options.reference
              << Qt::endl;
        finish(exitUsage);
        return;
    }
    if (!m_options.outputFolder.isEmpty()) {
        const QFileInfo folder(m_options.outputFolder);
        if (folder.exists() && !folder.isDir()) {
            m_err << "corvale-sync: the output folder is a file, not a folder: "
                  << m_options.outputFolder << Qt::endl;
            finish(exitUsage);
            return;
        }
    }
    session.addReferenceFileWith(localUrl(m_options.reference),
                                 !m_options.noAutoPopulate && Preferences::autoPopulateFiles());
    QList<QUrl> files;
    for (const QString& file : m_options.files)
        files << localUrl(file);
    session.addIndividualFiles(files);
    if (!m_options.outputFolder.isEmpty())
        session.setOutputFolder(localUrl(m_options.outputFolder));
    if (const auto problem = session.validationMessage()) {
        m_err << "corvale-sync: " << *problem << Qt::endl;
        finish(session.ffmpegPath() ? exitUsage : exitFailed);
        return;
    }
    if (session.statusMessage() != QStringLiteral("Ready"))
        m_err << session.statusMessage() << Qt::endl; // "Added N files automatically"

    auto redraw = [this] {
        if (m_redrawQueued)
            return;
        m_redrawQueued = true;
        QTimer::singleShot(0, this, [this] {
            m_redrawQueued = false;
            showLive();
        });
    };
    connect(&session, &AppViewModel::statusMessageChanged, this, redraw);
    connect(&session, &AppViewModel::overallProgressChanged, this, redraw);
    for (AudioFileItem* item : session.individualFiles()) {
        connect(item, &AudioFileItem::statusChanged, this, [this, item, redraw] {
            if (m_terminal)
                redraw();
            else
                m_err << QFileInfo(item->url().toLocalFile()).fileName() << ": "
                      << firstLine(statusText(item->status())) << Qt::endl;
            checkStreams();
        });
    }
    connect(&session, &AppViewModel::runEnded, this, &CliRun::onRunEnded, Qt::QueuedConnection);
    session.startProcessingWith(runSettingsFor(m_options));
}

bool CliRun::checkStreams() {
    if (m_out.status() == QTextStream::Ok && m_err.status() == QTextStream::Ok)
        return true;
    if (m_session && m_session->runUnderWay() && m_signal == 0) {
        m_signal = SIGPIPE;
        m_session->cancelProcessing();
    }
    return false;
}

void CliRun::showLive() {
    if (m_finished || !m_session)
        return;
    const AppViewModel& session = *m_session;
    if (!m_terminal) {
        if (session.statusMessage() != m_lastStatus) {
            m_lastStatus = session.statusMessage();
            m_err << firstLine(m_lastStatus) << Qt::endl;
        }
        checkStreams();
        return;
    }
    QStringList lines;
    qsizetype nameWidth = 0;
    for (const AudioFileItem* item : session.individualFiles())
        nameWidth = std::max(nameWidth, QFileInfo(item->url().toLocalFile()).fileName().size());
    for (const AudioFileItem* item : session.individualFiles()) {
        lines << QStringLiteral("  ") +
                     QFileInfo(item->url().toLocalFile()).fileName().leftJustified(nameWidth + 2) +
                     firstLine(statusText(item->status()));
    }
    lines << progressBar(session.overallProgress(), 30) +
                 QStringLiteral(" %1%  ").arg(int(session.overallProgress() * 100 + 0.5), 3) +
                 firstLine(session.statusMessage());
    if (m_drawnLines > 0)
        m_err << "\x1b[" << m_drawnLines << 'A';
    for (const QString& line : lines)
        m_err << "\x1b[2K" << line << '\n';
    m_err << Qt::flush;
    m_drawnLines = int(lines.size());
    checkStreams();
}

void CliRun::interrupt(int signal) {
    if (!m_session || m_finished)
        return;
    if (m_signal != 0) {
        // A second signal does not wait for the run to wind down.
        m_session->shutdown(2000);
        finish(128 + m_signal);
        return;
    }
    m_signal = signal;
    if (!m_session->runUnderWay()) {
        finish(128 + signal);
        return;
    }
    m_err << (m_terminal ? "\n" : "") << "Cancelling…" << Qt::endl;
    m_session->cancelProcessing();
}

void CliRun::onRunEnded(RunOutcome outcome) {
    const AppViewModel& session = *m_session;
    showLive();
    const RunReport& report = *session.lastReport();
    const QString outputFolder = session.effectiveOutputFolder().toLocalFile();
    if (m_options.json) {
        // Also for a stopped run: what was finished and what was not.
        QJsonObject json = resultJson(report);
        json[QStringLiteral("reference")] = session.referenceFile().toLocalFile();
        json[QStringLiteral("outputFolder")] = outputFolder;
        json[QStringLiteral("status")] = session.statusMessage();
        json[QStringLiteral("elapsed")] = session.elapsedTimeText();
        m_out << QJsonDocument(json).toJson(QJsonDocument::Indented) << Qt::flush;
    }
    if (outcome == RunOutcome::cancelled) {
        m_err << firstLine(session.statusMessage()) << Qt::endl;
        finish(128 + (m_signal != 0 ? m_signal : SIGINT));
        return;
    }
    if (m_options.json) {
        // Written above.
    } else if (outcome == RunOutcome::failed) {
        // The run stopped before any file was synced: its reason is all there is to say.
        m_out << firstLine(session.statusMessage()) << '\n' << Qt::flush;
    } else {
        m_out << '\n' << resultTable(report, outputFolder);
        if (report.referenceCopy.failure)
            m_out << '\n' << report.referenceCopy.failure->message();
        else if (report.referenceCopy.state == ReferenceCopyReport::State::written)
            m_out << "\nReference copy: "
                  << QDir(outputFolder).relativeFilePath(report.referenceCopy.path);
        m_out << '\n'
              << firstLine(session.statusMessage()) << " — outputs in " << outputFolder << '\n'
              << Qt::flush;
    }
    if (!checkStreams()) {
        finish(128 + SIGPIPE);
        return;
    }
    finish(exitCodeFor(report));
}

int exitCodeFor(const RunReport& report) {
    if (report.outcome != RunOutcome::succeeded)
        return exitFailed;
    return report.isClean() ? exitOk : exitReview;
}

void CliRun::finish(int code) {
    if (m_finished)
        return;
    m_finished = true;
    emit finished(code);
}

} // namespace corvale::cli
