// SPDX-License-Identifier: GPL-3.0-or-later
// The plain gain that brings an output to a loudness target.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

namespace corvale {

// An output this close to its target (in LU, the difference itself included) is left as
// written: a gain that small is not worth a pass over the file.
constexpr double kLoudnessToleranceLU = 0.5;

// The loudness targets a run accepts, in LUFS. Above the loudest, a gain to reach it would
// clip nearly any speech; below the quietest, the output is all but silent.
constexpr double kLoudestTargetLUFS = -5.0;
constexpr double kQuietestTargetLUFS = -70.0;

// The gain in dB that takes measured to target, or nothing when it is within
// kLoudnessToleranceLU. Both in LUFS; a measurement that is not finite (silence) gives nothing.
[[nodiscard]] std::optional<double> gainToTarget(double measuredLUFS, double targetLUFS);
// Whether applyGain would clip this sample.
[[nodiscard]] bool willClip(short sample, double gainDb);

// Multiplies 16-bit samples by the gain in place, rounding to the nearest value and clipping to
// -32768 ... 32767 as ffmpeg's volume filter does. Returns how many samples were clipped.
std::int64_t applyGain(std::span<short> samples, double gainDb);

} // namespace corvale
