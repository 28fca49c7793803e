// SPDX-License-Identifier: GPL-3.0-or-later
#include "clockresampler.h"

#include <soxr.h>

#include <cmath>

namespace corvale {
namespace {

constexpr std::size_t kOutputBlock = 65536;

CorvaleError soxrError(soxr_error_t error) {
    return CorvaleError::cannotWriteAudio(QStringLiteral("resampling failed: ") +
                                          QString::fromUtf8(error));
}

unsigned long soxrRecipe(ResampleRecipe recipe) {
    switch (recipe) {
    case ResampleRecipe::veryHigh:
        return SOXR_VHQ;
    case ResampleRecipe::high:
        break;
    case ResampleRecipe::medium:
        return SOXR_MQ;
    case ResampleRecipe::low:
        return SOXR_LQ;
    case ResampleRecipe::quick:
        return SOXR_QQ;
    }
    return SOXR_HQ;
}

} // namespace

ClockResampler::~ClockResampler() {
    if (m_soxr)
        soxr_delete(m_soxr);
}

Result<Done> ClockResampler::start(double ratio, ResampleRecipe recipe) {
    if (m_soxr)
        soxr_delete(m_soxr);
    m_soxr = nullptr;
    if (!(ratio > 0.5 && ratio < 2.0))
        return CorvaleError::cannotWriteAudio(QStringLiteral("resampling ratio out of range"));
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    const soxr_quality_spec_t quality =
        soxr_quality_spec(soxrRecipe(recipe) | SOXR_LINEAR_PHASE, 0);
    soxr_error_t error = nullptr;
    m_soxr = soxr_create(1.0, ratio, 1, &error, &io, &quality, nullptr);
    if (error || !m_soxr) {
        if (m_soxr)
            soxr_delete(m_soxr);
        m_soxr = nullptr;
        return soxrError(error ? error : "cannot create");
    }
    if (m_output.size() < kOutputBlock)
        m_output.resize(kOutputBlock);
    return Done{};
}

Result<Done> ClockResampler::push(std::span<const float> input, const Sink& sink) {
    if (input.empty())
        return Done{};
    return run(input.data(), input.size(), sink);
}

Result<Done> ClockResampler::finish(const Sink& sink) {
    return run(nullptr, 0, sink);
}

Result<Done> ClockResampler::run(const float* input, std::size_t count, const Sink& sink) {
    if (!m_soxr)
        return CorvaleError::cannotWriteAudio(QStringLiteral("resampler not started"));
    const bool draining = input == nullptr;
    for (;;) {
        std::size_t consumed = 0;
        std::size_t produced = 0;
        if (soxr_error_t error = soxr_process(m_soxr, input, count, &consumed, m_output.data(),
                                              m_output.size(), &produced))
            return soxrError(error);
        if (produced > 0) {
            if (auto r = sink(std::span<const float>(m_output.data(), produced)); !r)
                return r;
        }
        if (draining) {
            if (produced == 0)
                return Done{};
            continue;
        }
        input += consumed;
        count -= consumed;
        if (count == 0)
            return Done{};
    }
}

} // namespace corvale
