// SPDX-License-Identifier: GPL-3.0-or-later
#include "speechgen.h"

#include <algorithm>
#include <cmath>

namespace corvale::demo {
namespace {

// xorshift32: the same sequence on every platform and library.
struct Random {
    std::uint32_t state;
    std::uint32_t next() {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return state;
    }
    double uniform() { return (next() >> 8) * (1.0 / 16777216.0); }
    double between(double lo, double hi) { return lo + (hi - lo) * uniform(); }
};

} // namespace

std::vector<float> speechLike(double seconds, double sampleRate, std::uint32_t seed, float peak) {
    const auto total = static_cast<std::int64_t>(seconds * sampleRate);
    std::vector<float> out(static_cast<std::size_t>(std::max<std::int64_t>(total, 0)), 0.0f);
    Random rng{seed * 2654435761u + 12345u};
    if (rng.state == 0)
        rng.state = 1;
    std::int64_t pos = static_cast<std::int64_t>(rng.between(0.05, 0.4) * sampleRate);
    double low = 0.0, lowSlow = 0.0;
    while (pos < total) {
        const auto length = static_cast<std::int64_t>(rng.between(0.08, 0.35) * sampleRate);
        const double amplitude = peak * rng.between(0.15, 1.0);
        // Band edges vary per syllable, like different vowels.
        const double fast = std::clamp(rng.between(1500.0, 3500.0) / sampleRate * 6.28, 0.01, 0.9);
        const double slow = std::clamp(rng.between(150.0, 400.0) / sampleRate * 6.28, 0.001, 0.5);
        for (std::int64_t i = 0; i < length && pos + i < total; ++i) {
            const double white = rng.uniform() * 2.0 - 1.0;
            low += fast * (white - low);
            lowSlow += slow * (low - lowSlow);
            const double band = (low - lowSlow) * 3.0;
            const double shape = 0.5 - 0.5 * std::cos(2.0 * M_PI * double(i) / double(length));
            out[static_cast<std::size_t>(pos + i)] =
                static_cast<float>(std::clamp(band * amplitude * shape, -1.0, 1.0));
        }
        pos += length;
        const double pause = rng.uniform() < 0.12 ? rng.between(0.8, 2.5) : rng.between(0.03, 0.3);
        pos += static_cast<std::int64_t>(pause * sampleRate);
    }
    return out;
}

std::vector<float> resampleByRatio(std::span<const float> input, double ratio) {
    if (input.empty())
        return {};
    const auto n = static_cast<std::int64_t>(input.size());
    const auto count = static_cast<std::int64_t>(std::floor(double(n - 1) / ratio)) + 1;
    std::vector<float> out(static_cast<std::size_t>(count));
    for (std::int64_t i = 0; i < count; ++i) {
        const double x = double(i) * ratio;
        const auto k = static_cast<std::int64_t>(x);
        const double f = x - double(k);
        const float a = input[static_cast<std::size_t>(k)];
        const float b = k + 1 < n ? input[static_cast<std::size_t>(k + 1)] : a;
        out[static_cast<std::size_t>(i)] = static_cast<float>(a + (b - a) * f);
    }
    return out;
}

std::vector<float> excerpt(std::span<const float> input, std::int64_t start, std::int64_t count) {
    std::vector<float> out(static_cast<std::size_t>(std::max<std::int64_t>(count, 0)), 0.0f);
    for (std::int64_t i = 0; i < count; ++i) {
        const std::int64_t j = start + i;
        if (j >= 0 && j < static_cast<std::int64_t>(input.size()))
            out[static_cast<std::size_t>(i)] = input[static_cast<std::size_t>(j)];
    }
    return out;
}

std::vector<float> interleave(std::span<const float> left, std::span<const float> right) {
    const std::size_t n = std::min(left.size(), right.size());
    std::vector<float> out(n * 2);
    for (std::size_t i = 0; i < n; ++i) {
        out[2 * i] = left[i];
        out[2 * i + 1] = right[i];
    }
    return out;
}

} // namespace corvale::demo

namespace corvale::demo {

std::vector<std::vector<float>> conversation(int speakers, double seconds, double sampleRate,
                                             std::uint32_t seed, int host) {
    const auto total = static_cast<std::size_t>(seconds * sampleRate);
    std::vector<std::vector<float>> voices;
    for (int s = 0; s < speakers; ++s) {
        std::vector<float> speech = speechLike(seconds, sampleRate, seed * 31u + std::uint32_t(s));
        speech.resize(total, 0.0f);
        voices.push_back(std::move(speech));
    }
    // Turn-taking: each stretch belongs to one speaker; the others only breathe room noise.
    std::uint32_t state = seed * 2246822519u + 3266489917u;
    auto next = [&state] {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return (state >> 8) * (1.0 / 16777216.0);
    };
    std::vector<int> owner(total, 0);
    std::size_t pos = 0;
    int speaker = 0;
    while (pos < total) {
        const auto turn = static_cast<std::size_t>((2.0 + 6.0 * next()) * sampleRate);
        for (std::size_t i = pos; i < std::min(total, pos + turn); ++i)
            owner[i] = speaker;
        pos += turn;
        const int guest = (speaker + 1 + int(next() * (speakers - 1))) % std::max(speakers, 1);
        speaker = host >= 0 && speaker != host ? host : guest;
    }
    for (int s = 0; s < speakers; ++s) {
        auto& voice = voices[static_cast<std::size_t>(s)];
        for (std::size_t i = 0; i < total; ++i) {
            if (owner[i] != s)
                voice[i] = static_cast<float>((next() - 0.5) * 0.0004);
        }
    }
    return voices;
}

std::vector<float> mix(const std::vector<std::vector<float>>& voices, float gain) {
    std::vector<float> out(voices.empty() ? 0 : voices.front().size(), 0.0f);
    for (const auto& voice : voices) {
        for (std::size_t i = 0; i < out.size() && i < voice.size(); ++i)
            out[i] += voice[i] * gain;
    }
    return out;
}

} // namespace corvale::demo
