// SPDX-License-Identifier: GPL-3.0-or-later
#include "runcontroller.h"

#include <QThread>
#include <QTimer>

#include <algorithm>

namespace corvale {

RunController::RunController(QObject* parent) : QObject(parent) {
    m_pool.setMaxThreadCount(std::max(2, QThread::idealThreadCount()));
}

RunController::~RunController() {
    shutdown(QDeadlineTimer(kMaxShutdownMs));
}

QSet<QString> RunController::reservedOutputPaths() const {
    return m_run ? m_run->reservedOutputPaths() : m_lastReserved;
}

bool RunController::start(ProcessingRun::Request request) {
    if (m_run)
        return false;
    m_startTime = QDateTime::currentDateTimeUtc();
    auto* run = new ProcessingRun(std::move(request), &m_pool, this);
    m_run = run;
    // Reports of a run that is no longer the current one are ignored; after a cancel the
    // status line belongs to the user's action, not to the winding-down run.
    connect(run, &ProcessingRun::statusMessageChanged, this, [this, run](const QString& text) {
        if (run == m_run && !run->isCancelled())
            emit statusMessageChanged(text);
    });
    connect(run, &ProcessingRun::progressChanged, this, [this, run](double progress) {
        if (run == m_run)
            emit progressChanged(progress);
    });
    connect(run, &ProcessingRun::itemStep, this,
            [this, run](qsizetype index, ProcessingStatus::Kind step) {
                if (run == m_run && !run->isCancelled())
                    emit itemStep(index, step);
            });
    connect(run, &ProcessingRun::itemEnded, this, [this, run](qsizetype index) {
        if (run == m_run)
            emit itemEnded(index, run->report().items[index]);
    });
    connect(
        run, &ProcessingRun::ended, this,
        [this, run](const RunReport& report) { onEnded(run, report); }, Qt::QueuedConnection);
    // Started from the event loop so that start returns at once.
    QTimer::singleShot(0, run, &ProcessingRun::start);
    return true;
}

void RunController::cancel() {
    if (m_run)
        m_run->cancel();
}

void RunController::onEnded(ProcessingRun* run, RunReport report) {
    if (run != m_run)
        return;
    m_lastReserved = run->reservedOutputPaths();
    m_run = nullptr;
    run->deleteLater();
    report.elapsedSeconds =
        m_startTime.isValid()
            ? double(m_startTime.msecsTo(QDateTime::currentDateTimeUtc())) / 1000.0
            : 0.0;
    m_lastReport = report;
    emit ended(report);
}

void RunController::shutdown(QDeadlineTimer deadline) {
    if (!m_run)
        return;
    deadline = std::min(deadline, QDeadlineTimer(kMaxShutdownMs));
    ProcessingRun* run = m_run;
    m_run = nullptr;
    // From here on nothing the run reports reaches the session.
    disconnect(run, nullptr, this, nullptr);
    if (!run->shutdown(deadline))
        run->setParent(nullptr); // a task still holds it: never destroy it under that task
    else
        delete run;
}

} // namespace corvale
