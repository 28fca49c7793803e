// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "result.h"

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

struct soxr;

namespace corvale {

// Follows a recorder's clock: resamples one stretch of mono audio by a fixed ratio with
// libsoxr's high-quality (20-bit, linear-phase) filter, so that a track whose clock ran a few
// hundred ppm off stays on the reference's clock along its whole length. The filter's delay is
// compensated: output sample n is the input at n / ratio.
class ClockResampler {
public:
    using Sink = std::function<Result<Done>(std::span<const float>)>;

    ClockResampler() = default;
    ~ClockResampler();
    ClockResampler(const ClockResampler&) = delete;
    ClockResampler& operator=(const ClockResampler&) = delete;

    // A fresh stretch; ratio is output samples per input sample (above 0.5, below 2).
    // Errors: cannotWriteAudio with the library's text.
    [[nodiscard]] Result<Done> start(double ratio);
    // Feeds input, handing every output block to sink; sink's error ends processing.
    [[nodiscard]] Result<Done> push(std::span<const float> input, const Sink& sink);
    // Drains the filter at the stretch's end.
    [[nodiscard]] Result<Done> finish(const Sink& sink);

private:
    [[nodiscard]] Result<Done> run(const float* input, std::size_t count, const Sink& sink);

    soxr* m_soxr = nullptr;
    std::vector<float> m_output;
};

} // namespace corvale
