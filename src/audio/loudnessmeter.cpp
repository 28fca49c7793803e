// SPDX-License-Identifier: GPL-3.0-or-later
#include "loudnessmeter.h"

#include <ebur128.h>

#include <algorithm>
#include <cmath>

namespace corvale {

namespace {
ebur128_state* library(void* state) {
    return static_cast<ebur128_state*>(state);
}
} // namespace

void LoudnessMeter::Free::operator()(void* state) const {
    auto* library = static_cast<ebur128_state*>(state);
    ebur128_destroy(&library);
}

LoudnessMeter::LoudnessMeter()
    : m_failure(CorvaleError::cannotWriteAudio(QStringLiteral("loudness meter not started"))) {}
LoudnessMeter::~LoudnessMeter() = default;
LoudnessMeter::LoudnessMeter(LoudnessMeter&&) noexcept = default;
LoudnessMeter& LoudnessMeter::operator=(LoudnessMeter&&) noexcept = default;

Result<Done> LoudnessMeter::start(int sampleRate) {
    m_frames = 0;
    m_lowest = 0;
    m_highest = 0;
    m_failure.reset();
    m_state.reset();
    if (sampleRate > 0)
        m_state.reset(ebur128_init(1, static_cast<unsigned long>(sampleRate), EBUR128_MODE_I));
    if (!m_state) {
        m_failure = CorvaleError::cannotWriteAudio(
            QStringLiteral("loudness cannot be measured at %1 Hz").arg(sampleRate));
        return *m_failure;
    }
    return Done{};
}

Result<Done> LoudnessMeter::add(std::span<const short> samples) {
    if (m_failure)
        return *m_failure;
    // Two plain reductions, which the compiler vectorises (minmax_element it does not).
    short low = m_lowest;
    short high = m_highest;
    for (const short sample : samples) {
        low = std::min(low, sample);
        high = std::max(high, sample);
    }
    m_lowest = low;
    m_highest = high;
    // The library takes a frame count of its own type; large spans go in pieces.
    constexpr std::size_t kPiece = std::size_t(1) << 20;
    while (!samples.empty()) {
        const std::size_t piece = std::min(samples.size(), kPiece);
        if (ebur128_add_frames_short(library(m_state.get()), samples.data(), piece) !=
            EBUR128_SUCCESS) {
            m_state.reset();
            m_failure =
                CorvaleError::cannotWriteAudio(QStringLiteral("loudness meter out of memory"));
            return *m_failure;
        }
        m_frames += static_cast<std::int64_t>(piece);
        samples = samples.subspan(piece);
    }
    return Done{};
}

Result<double> LoudnessMeter::integrated() const {
    if (m_failure)
        return *m_failure;
    double lufs = 0.0;
    if (ebur128_loudness_global(library(m_state.get()), &lufs) != EBUR128_SUCCESS)
        return CorvaleError::cannotWriteAudio(QStringLiteral("loudness meter failed"));
    if (std::isnan(lufs))
        return CorvaleError::cannotWriteAudio(QStringLiteral("loudness meter failed"));
    return lufs; // -HUGE_VAL, that is -infinity, when everything was gated away
}

} // namespace corvale
