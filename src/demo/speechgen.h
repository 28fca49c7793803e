// SPDX-License-Identifier: GPL-3.0-or-later
// Deterministic speech-like audio for the demo session and the tests: bursts of band-limited noise
// ("syllables") of varying loudness, separated by short and occasional long pauses.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace corvale::demo {

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

} // namespace corvale::demo

namespace corvale::demo {

// Voices of a conversation on one timeline: speakers take turns of a few seconds; each voice
// is speech-like during its turns and a faint room noise otherwise. With a host (a speaker
// index), every other turn is the host's, as when one person leads the conversation. All
// voices have the same length.
[[nodiscard]] std::vector<std::vector<float>>
conversation(int speakers, double seconds, double sampleRate, std::uint32_t seed, int host = -1);

// Sum of the voices scaled by gain.
[[nodiscard]] std::vector<float> mix(const std::vector<std::vector<float>>& voices, float gain);

} // namespace corvale::demo
