// SPDX-License-Identifier: GPL-3.0-or-later
#include "backgroundmeter.h"

#include "loudnessmeter.h"

namespace corvale {
namespace {
// Blocks waiting at most: a few writer blocks' worth, so the writer rarely waits.
constexpr std::size_t kMaxWaiting = 6;
} // namespace

BackgroundMeter::BackgroundMeter(LoudnessMeter& meter)
    : m_meter(meter), m_thread([this] { run(); }) {}

BackgroundMeter::~BackgroundMeter() {
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
        m_waiting.clear();
    }
    m_changed.notify_all();
    m_thread.join();
}

void BackgroundMeter::add(std::span<const short> samples) {
    if (samples.empty())
        return;
    std::unique_lock lock(m_mutex);
    m_changed.wait(lock, [this] { return m_waiting.size() < kMaxWaiting; });
    std::vector<short> block;
    if (!m_spare.empty()) {
        block = std::move(m_spare.back());
        m_spare.pop_back();
    }
    block.assign(samples.begin(), samples.end());
    m_waiting.push_back(std::move(block));
    lock.unlock();
    m_changed.notify_all();
}

void BackgroundMeter::finish() {
    std::unique_lock lock(m_mutex);
    m_changed.wait(lock, [this] { return m_waiting.empty() && !m_busy; });
}

void BackgroundMeter::run() {
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_changed.wait(lock, [this] { return m_stopping || !m_waiting.empty(); });
        if (m_stopping)
            return;
        std::vector<short> block = std::move(m_waiting.front());
        m_waiting.pop_front();
        m_busy = true;
        lock.unlock();
        m_changed.notify_all(); // room for the writer
        // A meter that fails keeps its failure and says so when asked for its figure.
        (void)m_meter.add(block);
        lock.lock();
        m_busy = false;
        m_spare.push_back(std::move(block));
        m_changed.notify_all();
    }
}

} // namespace corvale
