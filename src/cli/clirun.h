// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "clioptions.h"

#include <QObject>
#include <QTextStream>

#include <memory>

namespace corvale {
class AppViewModel;
class SessionHost;
} // namespace corvale

namespace corvale::cli {

// Exit codes of corvale-sync.
enum ExitCode : int { exitOk = 0, exitFailed = 1, exitUsage = 2, exitInterrupted = 130 };

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
    // Ctrl-C: the first cancels the run cleanly, a second one stops at once.
    void interrupt();

signals:
    void finished(int exitCode);

private:
    void applyPreferenceOverrides() const;
    void showLive();
    void onRunEnded();
    void finish(int code);

    CliOptions m_options;
    QTextStream& m_out;
    QTextStream& m_err;
    bool m_terminal;
    std::unique_ptr<SessionHost> m_host;
    std::unique_ptr<AppViewModel> m_session;
    int m_drawnLines = 0;
    bool m_redrawQueued = false;
    bool m_interrupted = false;
    bool m_finished = false;
    QString m_lastStatus;
};

} // namespace corvale::cli
