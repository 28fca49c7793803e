// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QDeadlineTimer>
#include <QString>
#include <QStringList>

#include <functional>
#include <stop_token>

class QObject;
class QProcess;

namespace corvale {

// How one child process ended.
struct ToolOutcome {
    bool started = false;   // false: startError says why the child could not be started
    bool cancelled = false; // stop was requested before the start; no child was started
    QString startError;     // the operating system's text, unchanged
    int exitStatus = 0;     // non-zero also for a child ended by a signal
    QByteArray errorOutput; // everything the child wrote to its error stream
};

struct ToolInvocation {
    QString program;
    QStringList arguments;
    // When set, receives what the child writes to its output, as it comes; otherwise the
    // output is discarded.
    std::function<void(const QByteArray& chunk)> onOutput = {};
};

// Starts program with arguments (no shell) on the calling thread, which must run an event
// loop, and calls done there when the child has ended. Standard input is closed and standard
// output discarded (or handed to onOutput); the error stream is collected. A stop request sends
// SIGTERM to the child and everything it started (its process group); what outlives the child is
// then killed. Never blocks; done always runs after runTool has returned. The child is owned by
// context, which must live on the calling thread: destroying context kills it without a call.
void runTool(const ToolInvocation& invocation, std::stop_token stop, QObject* context,
             std::function<void(ToolOutcome)> done);

// Makes the child die with this process, even when this process is killed with SIGKILL, so
// no tool is left writing after its run is gone. Call before start().
void bindChildToParent(QProcess& process);

// Ends every child started by runTool that is still running, with whatever they started
// (SIGTERM, then SIGKILL halfway to the deadline), and waits for them until the deadline at
// the latest. For the way out of the process.
void terminateAllTools(QDeadlineTimer deadline = QDeadlineTimer(3000));

} // namespace corvale
