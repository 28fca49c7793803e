// SPDX-License-Identifier: GPL-3.0-or-later
// Two-microphone recordings with known truth: one voice on a coincident (XY) or spaced (AB)
// pair, or two voices with some of each in the other's microphone. Each channel gets its own
// colour and its own noise, as two real capsules would.
#pragma once

#include <cmath>
#include <cstdint>
#include <random>
#include <span>
#include <vector>

namespace corvale::test {

struct StereoPair {
    std::vector<float> left;
    std::vector<float> right;
};

// x delayed by a fractional number of samples (linear interpolation, zeros before the start).
inline std::vector<float> delayedBy(std::span<const float> x, double samples) {
    std::vector<float> out(x.size(), 0.0f);
    for (std::size_t i = 0; i < x.size(); ++i) {
        const double at = double(i) - samples;
        if (at < 0.0)
            continue;
        const auto j = static_cast<std::size_t>(at);
        const double f = at - double(j);
        const float next = j + 1 < x.size() ? x[j + 1] : 0.0f;
        out[i] = float((1.0 - f) * x[j] + f * next);
    }
    return out;
}

// A capsule's colour: the signal plus `tilt` times its one-pole low-pass (cut near 600 Hz at
// 16 kHz); positive tilt darkens, negative brightens. Then white noise of the given RMS.
inline std::vector<float> asCapsule(std::span<const float> x, double rate, float tilt,
                                    float noiseRms, std::uint32_t seed) {
    const auto a = float(std::exp(-2.0 * 3.141592653589793 * 600.0 / rate));
    std::mt19937 random(seed);
    std::normal_distribution<float> noise(0.0f, noiseRms);
    std::vector<float> out(x.size());
    float low = 0.0f;
    for (std::size_t i = 0; i < x.size(); ++i) {
        low = a * low + (1.0f - a) * x[i];
        out[i] = (x[i] + tilt * low) / (1.0f + std::abs(tilt)) + noise(random);
    }
    return out;
}

// One voice, the right microphone delayMs later than the left (0 for XY).
inline StereoPair oneVoicePair(std::span<const float> voice, double rate, double delayMs,
                               std::uint32_t seed) {
    const auto late = delayedBy(voice, delayMs * 1e-3 * rate);
    return {asCapsule(voice, rate, 0.8f, 0.004f, seed),
            asCapsule(late, rate, -0.6f, 0.004f, seed + 1)};
}

// Voice a on the left, b on the right, each reaching the other microphone at `bleed` of its
// level bleedMs later.
inline StereoPair twoVoicePair(std::span<const float> a, std::span<const float> b, double rate,
                               float bleed, double bleedMs, std::uint32_t seed) {
    const auto aLate = delayedBy(a, bleedMs * 1e-3 * rate);
    const auto bLate = delayedBy(b, bleedMs * 1e-3 * rate);
    std::vector<float> left(a.size()), right(a.size());
    for (std::size_t i = 0; i < a.size(); ++i) {
        left[i] = a[i] + bleed * bLate[i];
        right[i] = b[i] + bleed * aLate[i];
    }
    return {asCapsule(left, rate, 0.8f, 0.004f, seed),
            asCapsule(right, rate, -0.6f, 0.004f, seed + 1)};
}

} // namespace corvale::test
