// SPDX-License-Identifier: GPL-3.0-or-later
#include "toolrunner.h"

#include <QDeadlineTimer>
#include <QHash>
#include <QMetaObject>
#include <QMutex>
#include <QMutexLocker>
#include <QProcess>
#include <QThread>

#include <algorithm>
#include <csignal>
#include <optional>
#include <sys/prctl.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

namespace corvale {
namespace {

class ToolProcess;

// Every running child, so that the way out can end them from any thread. Only pids leave the
// lock: signalling a pid is safe from any thread, touching another thread's QProcess is not.
class ChildRegistry {
public:
    void add(const ToolProcess* process, qint64 pid) {
        QMutexLocker lock(&m_mutex);
        m_children.insert(process, pid);
    }
    void remove(const ToolProcess* process) {
        QMutexLocker lock(&m_mutex);
        m_children.remove(process);
    }
    [[nodiscard]] QList<qint64> pids() const {
        QMutexLocker lock(&m_mutex);
        return m_children.values();
    }

private:
    mutable QMutex m_mutex;
    QHash<const ToolProcess*, qint64> m_children;
};

ChildRegistry& registry() {
    static ChildRegistry instance;
    return instance;
}

// Each child leads its own process group (see bindChildToParent), so a wrapper script's own
// children are ended with it. Before the child has made its group, the child alone.
void signalGroup(qint64 pid, int signal) {
    if (pid <= 0)
        return;
    if (::kill(-static_cast<pid_t>(pid), signal) != 0)
        ::kill(static_cast<pid_t>(pid), signal);
}

// Runs on whatever thread requests the stop; only posts the request to the process's thread.
struct TerminateRequest {
    QProcess* process;
    void operator()() const noexcept {
        QMetaObject::invokeMethod(
            process,
            [p = process] {
                if (p->state() != QProcess::NotRunning)
                    signalGroup(p->processId(), SIGTERM);
            },
            Qt::QueuedConnection);
    }
};

// Runs fn on the current thread's event loop, after the caller has returned. Without a
// context a short-lived receiver stands in, so the call is never lost.
template <typename Fn> void postToCurrentThread(QObject* context, Fn fn) {
    QObject* receiver = context != nullptr ? context : new QObject;
    QMetaObject::invokeMethod(receiver, std::move(fn), Qt::QueuedConnection);
    if (context == nullptr)
        receiver->deleteLater(); // posted after the call, so delivered after it
}

// A signal death has no exit code of its own; report it the way a shell does (128 + signal),
// which is never zero.
int exitStatusOf(int exitCode, QProcess::ExitStatus status) {
    if (status == QProcess::NormalExit)
        return exitCode;
    return 128 + (exitCode > 0 ? exitCode : 0);
}

class ToolProcess final : public QProcess {
public:
    ToolProcess(QObject* context, std::function<void(ToolOutcome)> done)
        : QProcess(context), m_done(std::move(done)) {}

    ~ToolProcess() override {
        // Waits for a stop callback running on another thread, so none can post to us after.
        m_stop.reset();
        registry().remove(this);
        disconnect(this, nullptr, nullptr, nullptr);
        if (state() != NotRunning) {
            signalGroup(processId(), SIGKILL);
            waitForFinished(5000);
        }
    }

    void start(const ToolInvocation& invocation, std::stop_token stop) {
        setProgram(invocation.program);
        setArguments(invocation.arguments);
        setStandardInputFile(QProcess::nullDevice());
        if (invocation.onOutput)
            connect(this, &QProcess::readyReadStandardOutput, this,
                    [this, onOutput = invocation.onOutput] { onOutput(readAllStandardOutput()); });
        else
            setStandardOutputFile(QProcess::nullDevice());
        setProcessChannelMode(QProcess::SeparateChannels);
        bindChildToParent(*this);

        // Drained while running so that a talkative child can never fill the pipe.
        connect(this, &QProcess::readyReadStandardError, this,
                [this] { m_errorOutput += readAllStandardError(); });
        connect(this, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
            if (error != QProcess::FailedToStart)
                return; // a crash is reported again by finished()
            ToolOutcome outcome;
            outcome.started = false;
            outcome.startError = errorString();
            complete(std::move(outcome));
        });
        connect(this, &QProcess::finished, this, [this](int code, QProcess::ExitStatus status) {
            // A stopped wrapper's children that outlived it (the group outlives its leader
            // while any member lives, so this reaches no one else).
            if (m_stopToken.stop_requested())
                ::kill(-static_cast<pid_t>(m_pid), SIGKILL);
            m_errorOutput += readAllStandardError();
            ToolOutcome outcome;
            outcome.started = true;
            outcome.exitStatus = exitStatusOf(code, status);
            outcome.errorOutput = std::move(m_errorOutput);
            complete(std::move(outcome));
        });

        m_stopToken = stop;
        m_stop.emplace(std::move(stop), TerminateRequest{this});
        QProcess::start(QIODevice::ReadOnly);
        m_pid = processId();
        if (state() != NotRunning && m_pid > 0)
            registry().add(this, m_pid);
    }

private:
    // Hands the outcome to the context's thread by a queued call, so the callback never runs
    // inside QProcess's own signal delivery and never runs at all once the context is gone.
    void complete(ToolOutcome outcome) {
        if (m_completed)
            return;
        m_completed = true;
        m_stop.reset();
        registry().remove(this);
        auto done = std::move(m_done);
        // While the process lives its parent is the context (destroying the context destroys
        // the process first), so parent() is the context still alive, or null if none was given.
        QObject* context = parent();
        deleteLater();
        if (done)
            postToCurrentThread(
                context, [done = std::move(done), outcome = std::move(outcome)] { done(outcome); });
    }

    std::function<void(ToolOutcome)> m_done;
    std::optional<std::stop_callback<TerminateRequest>> m_stop;
    std::stop_token m_stopToken;
    qint64 m_pid = 0;
    QByteArray m_errorOutput;
    bool m_completed = false;
};

// True once the child has ended (a zombie counts) or is no longer ours to wait for. WNOWAIT
// leaves the reaping to QProcess.
bool hasEnded(qint64 pid) {
    siginfo_t info{};
    const int rc =
        ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT | __WALL);
    if (rc != 0)
        return true;
    return info.si_pid == static_cast<pid_t>(pid);
}

bool waitForAll(const QList<qint64>& pids, QDeadlineTimer deadline) {
    for (;;) {
        bool allEnded = true;
        for (const qint64 pid : pids)
            allEnded = allEnded && hasEnded(pid);
        if (allEnded)
            return true;
        if (deadline.hasExpired())
            return false;
        QThread::msleep(5);
    }
}

} // namespace

void bindChildToParent(QProcess& process) {
    const pid_t parent = ::getpid();
    process.setChildProcessModifier([parent] {
        // Runs in the child between fork and exec: only async-signal-safe calls here.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        // Its own group: a stop reaches whatever it starts, and a Ctrl-C at the terminal
        // reaches only this process, which ends its tools itself.
        ::setpgid(0, 0);
        if (::getppid() != parent) // the parent died before the line above took effect
            ::_exit(127);
    });
}

void runTool(const ToolInvocation& invocation, std::stop_token stop, QObject* context,
             std::function<void(ToolOutcome)> done) {
    Q_ASSERT(context == nullptr || context->thread() == QThread::currentThread());
    if (stop.stop_requested()) {
        ToolOutcome outcome;
        outcome.cancelled = true;
        postToCurrentThread(
            context, [done = std::move(done), outcome = std::move(outcome)] { done(outcome); });
        return;
    }
    auto* process = new ToolProcess(context, std::move(done));
    process->start(invocation, std::move(stop));
}

void terminateAllTools(QDeadlineTimer deadline) {
    const QList<qint64> pids = registry().pids();
    if (pids.isEmpty())
        return;
    for (const qint64 pid : pids)
        signalGroup(pid, SIGTERM);
    // The leaders are not reaped here (WNOWAIT), so their ids still name their groups only:
    // whatever the leaders started and left behind goes with them.
    const auto endRemnants = [&pids] {
        for (const qint64 pid : pids)
            ::kill(-static_cast<pid_t>(pid), SIGKILL);
    };
    // Half the time to end on their own, the rest for SIGKILL to take effect.
    const QDeadlineTimer polite(std::max<qint64>(deadline.remainingTime() / 2, 0));
    if (waitForAll(pids, polite)) {
        endRemnants();
        return;
    }
    for (const qint64 pid : pids) {
        if (!hasEnded(pid))
            signalGroup(pid, SIGKILL);
    }
    waitForAll(pids, deadline);
    endRemnants();
}

} // namespace corvale
