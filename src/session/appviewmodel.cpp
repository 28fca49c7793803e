// SPDX-License-Identifier: GPL-3.0-or-later
#include "appviewmodel.h"

#include "audio/ffmpeglocator.h"
#include "preferences.h"
#include "processingrun.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QThread>
#include <QTimer>

#include <cmath>

namespace corvale {

AppViewModel::AppViewModel(QObject* parent) : AppViewModel(findFFmpeg(), nullptr, parent) {}

AppViewModel::AppViewModel(std::optional<QString> ffmpegPath, SessionHost* host, QObject* parent)
    : QObject(parent), m_host(host ? host : &m_defaultHost), m_ffmpegPath(std::move(ffmpegPath)) {
    m_pool.setMaxThreadCount(std::max(2, QThread::idealThreadCount()));
    updateCanSync();
}

AppViewModel::~AppViewModel() {
    shutdown();
}

void AppViewModel::setOutputFolder(const QUrl& folder) {
    if (m_outputFolder == folder)
        return;
    m_outputFolder = folder;
    emit outputFolderChanged();
    updateCanSync();
}

void AppViewModel::setHeadlessMode(bool on) {
    if (m_headlessMode == on)
        return;
    m_headlessMode = on;
    emit headlessModeChanged();
}

void AppViewModel::setRestoreAfterHeadless(std::function<void()> restore) {
    m_restoreAfterHeadless = std::move(restore);
}

QSet<QString> AppViewModel::reservedOutputPaths() const {
    return m_run ? m_run->reservedOutputPaths() : m_lastReserved;
}

std::optional<QString> AppViewModel::validationMessage() const {
    if (!m_ffmpegPath)
        return QStringLiteral("ffmpeg not found — install with: sudo apt install ffmpeg");
    if (m_referenceFile.isEmpty())
        return QStringLiteral("Add a reference file to continue.");
    if (m_files.isEmpty())
        return QStringLiteral("Add at least one file to sync.");
    return std::nullopt;
}

QUrl AppViewModel::effectiveOutputFolder() const {
    if (!m_outputFolder.isEmpty())
        return m_outputFolder;
    if (m_referenceFile.isEmpty())
        return {};
    return QUrl::fromLocalFile(QFileInfo(m_referenceFile.toLocalFile()).absolutePath());
}

bool AppViewModel::canSync() const {
    // A cancelled run keeps the session until it has wound down, so that a new run cannot
    // race it for the same output names and files.
    return !m_referenceFile.isEmpty() && !m_files.isEmpty() && !m_isProcessing && !m_run &&
           m_ffmpegPath.has_value() && !effectiveOutputFolder().isEmpty();
}

int AppViewModel::reviewCount() const {
    int count = 0;
    for (const AudioFileItem* item : m_files) {
        const SyncResult* result = item->status().result();
        if (result && !result->warnings.isEmpty())
            ++count;
    }
    return count;
}

void AppViewModel::startProcessing() {
    startProcessingWith(RunSettings::fromPreferences());
}

void AppViewModel::startProcessingWith(const RunSettings& settings) {
    if (!canSync())
        return;
    const QUrl output = effectiveOutputFolder();
    setIsProcessing(true);
    setOverallProgress(0.0);
    setElapsedTime(std::nullopt);
    setStatusMessage(QStringLiteral("Starting…"));
    m_processingStartTime = QDateTime::currentDateTimeUtc();
    ProcessingRun::Request request;
    m_analyses.clear();
    for (AudioFileItem* item : m_files) {
        item->setStatus(ProcessingStatus::waiting());
        request.items.append(QPointer<AudioFileItem>(item));
    }
    request.reference = m_referenceFile;
    request.outputFolder = output.toLocalFile();
    request.ffmpegPath = *m_ffmpegPath;
    request.settings = settings;
    m_runSettings = settings;
    ProcessingRun* run = new ProcessingRun(std::move(request), &m_pool, this);
    m_run = run;
    // Reports of a run that is no longer the current one are ignored; after a cancel the
    // status line belongs to the user's action, not to the winding-down run.
    connect(run, &ProcessingRun::statusMessageChanged, this, [this, run](const QString& text) {
        if (run == m_run && !run->isCancelled())
            setStatusMessage(text);
    });
    connect(run, &ProcessingRun::progressChanged, this, [this, run](double progress) {
        if (run == m_run)
            setOverallProgress(progress);
    });
    connect(run, &ProcessingRun::analysisReady, this, [this, run](const ItemAnalysis& analysis) {
        if (run == m_run && analysis.item)
            m_analyses.insert(analysis.item->id(), analysis);
    });
    connect(
        run, &ProcessingRun::ended, this,
        [this, run](RunOutcome outcome) { finishRun(run, outcome); }, Qt::QueuedConnection);
    updateCanSync();
    // Started from the event loop so that startProcessing returns at once.
    QTimer::singleShot(0, run, &ProcessingRun::start);
}

void AppViewModel::cancelProcessing() {
    if (m_run)
        m_run->cancel();
    setIsProcessing(false);
    setStatusMessage(QStringLiteral("Cancelled"));
    setElapsedTime(std::nullopt);
    for (AudioFileItem* item : m_files) {
        if (item->status().isInProgress())
            item->setStatus(ProcessingStatus::waiting());
    }
}

void AppViewModel::finishRun(ProcessingRun* run, RunOutcome outcome) {
    if (run != m_run)
        return;
    m_lastReserved = run->reservedOutputPaths();
    m_run = nullptr;
    run->deleteLater();
    setIsProcessing(false);
    updateCanSync();
    if (outcome == RunOutcome::cancelled) {
        emit runEnded(outcome);
        if (m_headlessMode)
            endHeadless();
        return;
    }
    if (outcome != RunOutcome::failed)
        setStatusMessage(QStringLiteral("Done"));
    const double elapsed =
        m_processingStartTime.isValid()
            ? double(m_processingStartTime.msecsTo(QDateTime::currentDateTimeUtc())) / 1000.0
            : 0.0;
    setElapsedTime(formatElapsed(elapsed));
    if (m_runSettings.chimeWhenDone)
        m_host->playSound(m_runSettings.completionSound);
    emit runEnded(outcome);
    if (m_headlessMode)
        QTimer::singleShot(1500, this, [this] { endHeadless(); });
}

QString AppViewModel::formatElapsed(double seconds) {
    const long long s = std::llround(seconds);
    if (s > 59)
        return QStringLiteral("%1m %2s").arg(s / 60).arg(s % 60);
    return QStringLiteral("%1s").arg(s);
}

void AppViewModel::resetSession() {
    if (m_run)
        return;
    if (!m_referenceFile.isEmpty()) {
        m_referenceFile = QUrl();
        emit referenceFileChanged();
    }
    setFiles({});
    setOutputFolder(QUrl());
    setOverallProgress(0.0);
    setStatusMessage(QStringLiteral("Ready"));
    setElapsedTime(std::nullopt);
    setHeadlessMode(false);
    updateCanSync();
}

void AppViewModel::endHeadless() {
    setHeadlessMode(false);
    if (m_restoreAfterHeadless) {
        auto restore = std::move(m_restoreAfterHeadless);
        m_restoreAfterHeadless = nullptr;
        restore();
    } else {
        m_host->quitApplication();
    }
}

void AppViewModel::shutdown(int timeoutMs) {
    if (!m_run)
        return;
    ProcessingRun* run = m_run;
    m_run = nullptr;
    // From here on nothing the run reports reaches this session.
    disconnect(run, nullptr, this, nullptr);
    if (!run->shutdown(timeoutMs))
        run->setParent(nullptr); // a task still holds it: never destroy it under that task
    else
        delete run;
}

std::optional<ItemAnalysis> AppViewModel::analysisOf(const AudioFileItem* item) const {
    if (!item)
        return std::nullopt;
    const auto found = m_analyses.constFind(item->id());
    if (found == m_analyses.constEnd())
        return std::nullopt;
    return *found;
}

void AppViewModel::setIsProcessing(bool on) {
    if (m_isProcessing == on)
        return;
    m_isProcessing = on;
    emit isProcessingChanged();
    updateCanSync();
}

void AppViewModel::setOverallProgress(double progress) {
    if (m_overallProgress == progress)
        return;
    m_overallProgress = progress;
    emit overallProgressChanged();
}

void AppViewModel::setStatusMessage(const QString& text) {
    if (m_statusMessage == text)
        return;
    m_statusMessage = text;
    emit statusMessageChanged();
}

void AppViewModel::setElapsedTime(const std::optional<QString>& text) {
    if (m_elapsedTime == text)
        return;
    m_elapsedTime = text;
    emit elapsedTimeChanged();
}

void AppViewModel::setFiles(QList<AudioFileItem*> files) {
    if (m_files == files)
        return;
    for (AudioFileItem* old : std::as_const(m_files)) {
        if (!files.contains(old))
            old->deleteLater();
    }
    m_files = std::move(files);
    emit individualFilesChanged();
    updateCanSync();
}

void AppViewModel::updateCanSync() {
    const bool now = canSync();
    if (now == m_canSync)
        return;
    m_canSync = now;
    emit canSyncChanged();
}

} // namespace corvale
