// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "clioptions.h"
#include "session/runreport.h"
#include "session/runsettings.h"

#include <QObject>
#include <QTextStream>

#include <memory>

namespace corvale {
class AppViewModel;
class SessionHost;
} // namespace corvale

namespace corvale::cli {

// Exit codes of corvale-sync; a run stopped by a signal exits with 128 + its number.
enum ExitCode : int {
    exitOk = 0,     // every file placed, nothing to review, every step done
    exitFailed = 1, // a file, a finishing step, an output or the run failed
    exitUsage = 2,
    exitReview = 3, // the run completed, but a file needs review or was not found
    exitInterrupted = 130
};

// The exit code of an ended, not cancelled, run.
[[nodiscard]] int exitCodeFor(const RunReport& report);

// The run's settings: the preferences as stored, with this run's options over them.
[[nodiscard]] RunSettings runSettingsFor(const CliOptions& options);

// One command-line sync: sets up the session from the options, shows live status on err
// (a redrawn block on a terminal, plain lines otherwise), and prints the results on out as a
// table or JSON. The application object's event loop drives it.
class CliRun : public QObject {
    Q_OBJECT
public:
    CliRun(CliOptions options, QTextStream& out, QTextStream& err, bool terminal,
           QObject* parent = nullptr);
    ~CliRun() override;

    // Starts the run; finished(code) follows. A usage problem finishes at once.
    void start();
    // SIGINT, SIGTERM or SIGHUP: the first cancels the run cleanly and ends with 128 + signal,
    // a second one stops at once.
    void interrupt(int signal = 2);

signals:
    void finished(int exitCode);

private:
    void showLive();
    void onRunEnded(RunOutcome outcome);
    // A terminal or pipe that can no longer be written to (the reader went away) cancels.
    bool checkStreams();
    void finish(int code);

    CliOptions m_options;
    QTextStream& m_out;
    QTextStream& m_err;
    bool m_terminal;
    std::unique_ptr<SessionHost> m_host;
    std::unique_ptr<AppViewModel> m_session;
    int m_drawnLines = 0;
    bool m_redrawQueued = false;
    int m_signal = 0; // the signal that cancelled the run, if any
    bool m_finished = false;
    QString m_lastStatus;
};

} // namespace corvale::cli
