// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QObject>

class QSocketNotifier;

namespace corvale {

// SIGTERM (logout, `kill`, a service manager), SIGINT and SIGHUP would end the process where it
// stands, leaving a run's temporary folder and unfinished outputs behind. While one of these
// lives they arrive instead as received() on the event loop, where the way out can clean up.
// One at a time per process; the default handling comes back when it is destroyed.
class TerminationSignals : public QObject {
    Q_OBJECT
public:
    explicit TerminationSignals(QObject* parent = nullptr);
    ~TerminationSignals() override;

    // The first signal received; 0 while none has come.
    [[nodiscard]] int firstSignal() const { return m_first; }

signals:
    void received(int signal);

private:
    void readSignal();

    QSocketNotifier* m_notifier = nullptr;
    int m_first = 0;
};

} // namespace corvale
