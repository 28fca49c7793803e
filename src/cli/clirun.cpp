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
    Preferences::clearOverrides();
}

void CliRun::applyPreferenceOverrides() const {
    const CliOptions& o = m_options;
    if (o.normalizeTarget) {
        Preferences::setOverride(QStringLiteral("normalizeLoudness"), true);
        Preferences::setOverride(QStringLiteral("targetLUFS"), *o.normalizeTarget);
    }
    if (o.noNormalize)
        Preferences::setOverride(QStringLiteral("normalizeLoudness"), false);
    if (o.labelNumber) {
        Preferences::setOverride(QStringLiteral("finderLabelEnabled"), true);
        Preferences::setOverride(QStringLiteral("finderLabelNumber"), *o.labelNumber);
    }
    if (o.noLabel)
        Preferences::setOverride(QStringLiteral("finderLabelEnabled"), false);
    if (o.fullNames)
        Preferences::setOverride(QStringLiteral("renameForDropbox"), false);
    if (o.noAutoPopulate)
        Preferences::setOverride(QStringLiteral("autoPopulateFiles"), false);
    if (o.noSound)
        Preferences::setOverride(QStringLiteral("chimeWhenDone"), false);
    if (o.precise)
        Preferences::setOverride(QStringLiteral("preciseAlignment"), *o.precise);
}

void CliRun::start() {
    applyPreferenceOverrides();
    m_host = std::make_unique<TerminalHost>(m_err, m_terminal);
    std::optional<QString> ffmpeg = findFFmpeg();
    if (!m_options.ffmpegPath.isEmpty())
        ffmpeg = QFileInfo::exists(m_options.ffmpegPath) ? std::optional(m_options.ffmpegPath)
                                                         : std::nullopt;
    m_session = std::make_unique<AppViewModel>(ffmpeg, m_host.get());
    AppViewModel& session = *m_session;

    if (!QFileInfo(m_options.reference).isFile()) {
        m_err << "corvale-sync: the reference is not a readable file: " << m_options.reference
              << Qt::endl;
        finish(exitUsage);
        return;
    }
    session.addReferenceFile(localUrl(m_options.reference));
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
                      << statusText(item->status()) << Qt::endl;
        });
    }
    connect(&session, &AppViewModel::runEnded, this, &CliRun::onRunEnded, Qt::QueuedConnection);
    session.startProcessing();
}

void CliRun::showLive() {
    if (m_finished || !m_session)
        return;
    const AppViewModel& session = *m_session;
    if (!m_terminal) {
        if (session.statusMessage() != m_lastStatus) {
            m_lastStatus = session.statusMessage();
            m_err << m_lastStatus << Qt::endl;
        }
        return;
    }
    QStringList lines;
    qsizetype nameWidth = 0;
    for (const AudioFileItem* item : session.individualFiles())
        nameWidth = std::max(nameWidth, QFileInfo(item->url().toLocalFile()).fileName().size());
    for (const AudioFileItem* item : session.individualFiles()) {
        lines << QStringLiteral("  ") +
                     QFileInfo(item->url().toLocalFile()).fileName().leftJustified(nameWidth + 2) +
                     statusText(item->status());
    }
    lines << progressBar(session.overallProgress(), 30) +
                 QStringLiteral(" %1%  ").arg(int(session.overallProgress() * 100 + 0.5), 3) +
                 session.statusMessage();
    if (m_drawnLines > 0)
        m_err << "\x1b[" << m_drawnLines << 'A';
    for (const QString& line : lines)
        m_err << "\x1b[2K" << line << '\n';
    m_err << Qt::flush;
    m_drawnLines = int(lines.size());
}

void CliRun::interrupt() {
    if (!m_session || m_finished)
        return;
    if (m_interrupted) {
        // A second Ctrl-C does not wait for the run to wind down.
        m_session->shutdown(2000);
        finish(exitInterrupted);
        return;
    }
    m_interrupted = true;
    m_err << (m_terminal ? "\n" : "") << "Cancelling…" << Qt::endl;
    m_session->cancelProcessing();
}

void CliRun::onRunEnded() {
    const AppViewModel& session = *m_session;
    showLive();
    if (m_interrupted) {
        m_err << "Cancelled" << Qt::endl;
        finish(exitInterrupted);
        return;
    }
    bool allComplete = true;
    for (const AudioFileItem* item : session.individualFiles())
        allComplete = allComplete && item->status().is(ProcessingStatus::Kind::complete);
    const bool runOk = session.statusMessage() == QStringLiteral("Done");
    if (m_options.json) {
        m_out << QJsonDocument(resultJson(session)).toJson(QJsonDocument::Indented) << Qt::flush;
    } else {
        m_out << '\n' << resultTable(session);
        m_out << '\n' << session.statusMessage();
        if (session.elapsedTime())
            m_out << " in " << *session.elapsedTime();
        m_out << " — outputs in " << session.effectiveOutputFolder().toLocalFile() << '\n';
        if (const int review = session.reviewCount())
            m_out << review << (review == 1 ? " sync needs" : " syncs need") << " review\n";
        m_out << Qt::flush;
    }
    finish(runOk && allComplete ? exitOk : exitFailed);
}

void CliRun::finish(int code) {
    if (m_finished)
        return;
    m_finished = true;
    emit finished(code);
}

} // namespace corvale::cli
