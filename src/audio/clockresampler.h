// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "result.h"

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

struct soxr;

namespace corvale {

// libsoxr's linear-phase recipes, from the costliest to the cheapest.
enum class ResampleRecipe { veryHigh, high, medium, low, quick };

// Follows a recorder's clock: resamples one stretch of mono audio by a fixed ratio with
// libsoxr (linear phase, recipe chosen by bench/resampler_bench), so that a track whose clock ran a
// few hundred ppm off stays on the reference's clock along its whole length. The filter's delay is
// compensated: output sample n is the input at n / ratio.
// The recipe the writer follows clocks with: the cheapest whose output stays within 0.01 ms
// of the high recipe's along an hour at +300 ppm and sounds the same (its difference, -48 dB,
// lies in the filters' transition band, like the very-high recipe's). Low and quick keep the
// timing but differ by -17 dB. Measured by bench/resampler_bench.
inline constexpr ResampleRecipe kClockRecipe = ResampleRecipe::medium;

class ClockResampler {
public:
    using Sink = std::function<Result<Done>(std::span<const float>)>;

    ClockResampler() = default;
    ~ClockResampler();
    ClockResampler(const ClockResampler&) = delete;
    ClockResampler& operator=(const ClockResampler&) = delete;

    // A fresh stretch; ratio is output samples per input sample (above 0.5, below 2).
    // Errors: cannotWriteAudio with the library's text.
    [[nodiscard]] Result<Done> start(double ratio, ResampleRecipe recipe = kClockRecipe);
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
