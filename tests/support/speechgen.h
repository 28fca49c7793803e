// SPDX-License-Identifier: GPL-3.0-or-later
// Deterministic speech-like test audio: bursts of band-limited noise ("syllables") of varying
// loudness, separated by short and occasional long pauses.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace corvale::test {

[[nodiscard]] std::vector<float> speechLike(double seconds, double sampleRate, std::uint32_t seed,
                                            float peak = 0.5f);

// Reads input at positions i * ratio (linear interpolation): ratio > 1 shortens the signal,
// i.e. the recorder's clock ran slow; the output has floor((n - 1) / ratio) + 1 samples.
[[nodiscard]] std::vector<float> resampleByRatio(std::span<const float> input, double ratio);

// Copy of [start, start + count) of input, zero-padded where input ends.
[[nodiscard]] std::vector<float> excerpt(std::span<const float> input, std::int64_t start,
                                         std::int64_t count);

// Interleaves channels of equal length.
[[nodiscard]] std::vector<float> interleave(std::span<const float> left,
                                            std::span<const float> right);

} // namespace corvale::test
