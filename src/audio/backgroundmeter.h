// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <span>
#include <thread>
#include <vector>

namespace corvale {

class LoudnessMeter;

// Feeds a LoudnessMeter on a thread of its own, in the order the samples come, so that metering
// (the costliest step of writing a normalised output) runs beside the writing instead of after
// it. The figures are the meter's own, to the bit: the same samples reach it in the same order.
// add() copies and returns at once unless a few blocks are already waiting (memory stays
// bounded); finish() waits until the meter has taken everything. The meter must outlive this.
class BackgroundMeter {
public:
    explicit BackgroundMeter(LoudnessMeter& meter);
    ~BackgroundMeter(); // drops what the meter has not taken yet
    BackgroundMeter(const BackgroundMeter&) = delete;
    BackgroundMeter& operator=(const BackgroundMeter&) = delete;

    void add(std::span<const short> samples);
    // After this the meter holds every sample added; add() may go on afterwards.
    void finish();

private:
    void run();

    LoudnessMeter& m_meter;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<std::vector<short>> m_waiting;
    std::vector<std::vector<short>> m_spare; // blocks the meter is done with, to reuse
    bool m_busy = false;                     // the thread is metering a block
    bool m_stopping = false;
    std::thread m_thread;
};

} // namespace corvale
