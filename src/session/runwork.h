// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QMetaObject>
#include <QObject>
#include <QThreadPool>

#include <functional>
#include <memory>

namespace corvale {

// Everything a run has under way off its own thread: pool tasks and child processes. A run
// may end, and remove its temporary folder, only once this is idle; settled() says when.
// Lives on the run's thread; every callback it hands back runs there.
class RunWork : public QObject {
    Q_OBJECT
public:
    RunWork(QThreadPool* pool, QObject* parent = nullptr) : QObject(parent), m_pool(pool) {}

    [[nodiscard]] bool idle() const { return m_outstanding == 0; }
    [[nodiscard]] QThreadPool* pool() const { return m_pool; }

    // Runs work on the pool and done(result) back on this object's thread.
    template <typename Work, typename Done> void offThread(Work work, Done done);

    // Counts an asynchronous step (a child process) until the callback it wraps has run.
    template <typename Arg, typename Fn> std::function<void(Arg)> track(Fn done) {
        begin();
        return [this, done = std::move(done)](Arg arg) mutable {
            done(std::move(arg));
            end();
        };
    }

signals:
    void settled();

private:
    void begin() { ++m_outstanding; }
    void end() {
        if (--m_outstanding == 0)
            emit settled();
    }

    QThreadPool* m_pool;
    int m_outstanding = 0;
};

// The run waits for every task it started before it is destroyed (shutdown waits for the
// pool), so the raw pointer stays valid.
template <typename Work, typename Done> void RunWork::offThread(Work work, Done done) {
    begin();
    RunWork* self = this;
    m_pool->start([self, work = std::move(work), done = std::move(done)]() mutable {
        auto value = std::make_shared<decltype(work())>(work());
        QMetaObject::invokeMethod(
            self,
            [self, value, done]() mutable {
                done(std::move(*value));
                self->end();
            },
            Qt::QueuedConnection);
    });
}

} // namespace corvale
