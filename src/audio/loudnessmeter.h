// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "result.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <span>

namespace corvale {

// Integrated loudness of one mono 16-bit stream (ITU-R BS.1770 with the EBU R128 gating), the
// figure ffmpeg's loudnorm reports as input_i. Fed in pieces of any size; keeps about 10 bytes
// per second of audio for the gating, nothing of the samples themselves.
class LoudnessMeter {
public:
    LoudnessMeter(); // not started: add() and integrated() fail until start()
    ~LoudnessMeter();
    LoudnessMeter(LoudnessMeter&&) noexcept;
    LoudnessMeter& operator=(LoudnessMeter&&) noexcept;

    // Starts afresh. Errors: cannotWriteAudio when the library refuses the rate (outside
    // 16 Hz ... 2.8 MHz) or runs out of memory.
    [[nodiscard]] Result<Done> start(int sampleRate);
    // Errors: cannotWriteAudio when not started, or out of memory (the meter stays failed).
    [[nodiscard]] Result<Done> add(std::span<const short> samples);
    // In LUFS; -infinity when nothing rises above the absolute gate (-70 LUFS), silence say,
    // or nothing was added. Errors: the failure of start() or add().
    [[nodiscard]] Result<double> integrated() const;
    [[nodiscard]] std::int64_t frames() const { return m_frames; }
    // The lowest and highest sample added (0 when none): whether a gain will clip.
    [[nodiscard]] short lowest() const { return m_lowest; }
    [[nodiscard]] short highest() const { return m_highest; }

private:
    // The library's state, whose type is an unnamed struct that cannot be declared here.
    struct Free {
        void operator()(void* state) const;
    };
    std::unique_ptr<void, Free> m_state;
    std::int64_t m_frames = 0;
    short m_lowest = 0;
    short m_highest = 0;
    std::optional<CorvaleError> m_failure;
};

} // namespace corvale
