// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "processingrun.h"
#include "runreport.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QObject>
#include <QSet>
#include <QThreadPool>

#include <optional>

namespace corvale {

// Starts, cancels and winds down the session's runs, one at a time, and keeps the report of
// the last one. Knows nothing of the list of files: it hands out events by input index.
class RunController : public QObject {
    Q_OBJECT
public:
    explicit RunController(QObject* parent = nullptr);
    ~RunController() override;

    // A run has started and not yet reached its end (also while a cancelled run winds down).
    [[nodiscard]] bool runUnderWay() const { return m_run != nullptr; }
    [[nodiscard]] bool cancelRequested() const { return m_run && m_run->isCancelled(); }
    [[nodiscard]] QSet<QString> reservedOutputPaths() const;
    // The last ended run's report; none before the first ends.
    [[nodiscard]] const std::optional<RunReport>& lastReport() const { return m_lastReport; }

    // Refused (false) while a run is under way.
    bool start(ProcessingRun::Request request);
    void cancel();
    // The way out of the process: cancels a run, ends its children, waits for its background
    // work until the deadline at the latest (never past kMaxShutdownMs from now: it runs on the
    // GUI thread) and removes what is unfinished.
    static constexpr int kMaxShutdownMs = 3000;
    void shutdown(QDeadlineTimer deadline);

signals:
    void statusMessageChanged(const QString& text);
    void progressChanged(double progress);
    void itemStep(qsizetype index, corvale::ProcessingStatus::Kind step);
    void itemEnded(qsizetype index, const corvale::ItemReport& report);
    // The run has fully ended; the report carries its elapsed time.
    void ended(const corvale::RunReport& report);

private:
    void onEnded(ProcessingRun* run, RunReport report);

    ProcessingRun* m_run = nullptr;
    QDateTime m_startTime;
    QSet<QString> m_lastReserved;
    std::optional<RunReport> m_lastReport;
    QThreadPool m_pool;
};

} // namespace corvale
