// SPDX-License-Identifier: GPL-3.0-or-later
#include "appviewmodel.h"

#include "audio/ffmpeglocator.h"
#include "preferences.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QTimer>

#include <cmath>

namespace corvale {
namespace {

ProcessingStatus statusForStep(ProcessingStatus::Kind step) {
    switch (step) {
    case ProcessingStatus::Kind::analyzing:
        return ProcessingStatus::analyzing();
    case ProcessingStatus::Kind::processing:
        return ProcessingStatus::processing();
    case ProcessingStatus::Kind::normalizing:
        return ProcessingStatus::normalizing();
    default:
        return ProcessingStatus::converting();
    }
}

ProcessingStatus statusOf(const ItemReport& report) {
    if (const SyncResult* result = report.result())
        return ProcessingStatus::complete(*result);
    if (const ItemFailure* failure = report.failure())
        return ProcessingStatus::failed(failure->message());
    return ProcessingStatus::cancelled();
}

} // namespace

AppViewModel::AppViewModel(QObject* parent) : AppViewModel(findFFmpeg(), nullptr, parent) {}

AppViewModel::AppViewModel(std::optional<QString> ffmpegPath, SessionHost* host, QObject* parent)
    : QObject(parent), m_host(host ? host : &m_defaultHost), m_ffmpegPath(std::move(ffmpegPath)) {
    connect(&m_runs, &RunController::statusMessageChanged, this, &AppViewModel::setStatusMessage);
    connect(&m_runs, &RunController::progressChanged, this, &AppViewModel::setOverallProgress);
    connect(&m_runs, &RunController::itemStep, this,
            [this](qsizetype index, ProcessingStatus::Kind step) {
                if (AudioFileItem* item = runItem(index))
                    item->setStatus(statusForStep(step));
            });
    connect(&m_runs, &RunController::itemEnded, this,
            [this](qsizetype index, const ItemReport& report) {
                if (AudioFileItem* item = runItem(index))
                    item->setStatus(statusOf(report));
            });
    connect(&m_runs, &RunController::ended, this, &AppViewModel::finishRun, Qt::QueuedConnection);
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
    return m_runs.reservedOutputPaths();
}

QString AppViewModel::referenceProblem() const {
    const auto& report = m_runs.lastReport();
    if (runUnderWay() || !report || !report->referenceFailure)
        return {};
    return report->referenceFailure->message();
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
    return !m_referenceFile.isEmpty() && !m_files.isEmpty() && !m_isProcessing && !runUnderWay() &&
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
    ProcessingRun::Request request;
    m_runItems.clear();
    for (AudioFileItem* item : m_files) {
        item->setStatus(ProcessingStatus::waiting());
        request.inputs.append(item->url());
        m_runItems.append(QPointer<AudioFileItem>(item));
    }
    request.reference = m_referenceFile;
    request.outputFolder = output.toLocalFile();
    request.ffmpegPath = *m_ffmpegPath;
    request.settings = settings;
    m_runSettings = settings;
    setIsProcessing(true);
    setOverallProgress(0.0);
    setElapsedTime(std::nullopt);
    setStatusMessage(QStringLiteral("Starting…"));
    emit referenceProblemChanged(); // a problem the last run had with it is gone
    m_runs.start(std::move(request));
    updateCanSync();
}

void AppViewModel::cancelProcessing() {
    m_runs.cancel();
    setIsProcessing(false);
    setStatusMessage(QStringLiteral("Cancelled"));
    setElapsedTime(std::nullopt);
    for (AudioFileItem* item : m_files) {
        if (item->status().isInProgress() || item->status().is(ProcessingStatus::Kind::waiting))
            item->setStatus(ProcessingStatus::cancelled());
    }
}

AudioFileItem* AppViewModel::runItem(qsizetype index) const {
    return index >= 0 && index < m_runItems.size() ? m_runItems[index].data() : nullptr;
}

void AppViewModel::finishRun(const RunReport& report) {
    // Every item takes its end from the report, whatever events came before.
    for (qsizetype i = 0; i < report.items.size(); ++i) {
        if (AudioFileItem* item = runItem(i))
            item->setStatus(statusOf(report.items[i]));
    }
    setIsProcessing(false);
    updateCanSync();
    const QString elapsed = formatElapsed(report.elapsedSeconds);
    setStatusMessage(report.summary(elapsed));
    if (report.referenceFailure)
        emit referenceProblemChanged();
    if (report.outcome == RunOutcome::cancelled) {
        emit runEnded(report.outcome);
        if (m_headlessMode)
            endHeadless();
        return;
    }
    setElapsedTime(elapsed);
    if (m_runSettings.chimeWhenDone)
        m_host->playSound(m_runSettings.completionSound);
    emit runEnded(report.outcome);
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
    if (runUnderWay())
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
    m_runs.shutdown(QDeadlineTimer(timeoutMs));
}

const ItemReport* AppViewModel::reportOf(const AudioFileItem* item) const {
    const auto& report = m_runs.lastReport();
    if (!item || !report)
        return nullptr;
    for (qsizetype i = 0; i < m_runItems.size() && i < report->items.size(); ++i) {
        if (m_runItems[i] == item)
            return &report->items[i];
    }
    return nullptr;
}

std::optional<ItemAnalysis> AppViewModel::analysisOf(const AudioFileItem* item) const {
    const ItemReport* report = reportOf(item);
    return report ? report->analysis : std::nullopt;
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
