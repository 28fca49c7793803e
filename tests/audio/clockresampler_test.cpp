// SPDX-License-Identifier: GPL-3.0-or-later
#include "audio/clockresampler.h"
#include "demo/speechgen.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

using namespace corvale;

namespace {

constexpr double kRate = 48000.0;

std::vector<float> resampled(const std::vector<float>& input, double ratio, ResampleRecipe recipe) {
    std::vector<float> out;
    ClockResampler resampler;
    EXPECT_TRUE(resampler.start(ratio, recipe).ok());
    const auto sink = [&out](std::span<const float> block) -> Result<Done> {
        out.insert(out.end(), block.begin(), block.end());
        return Done{};
    };
    // Fed in uneven pieces, as the writer's reads come.
    for (std::size_t at = 0; at < input.size(); at += 7919) {
        const std::size_t n = std::min<std::size_t>(7919, input.size() - at);
        EXPECT_TRUE(resampler.push(std::span<const float>(input).subspan(at, n), sink).ok());
    }
    EXPECT_TRUE(resampler.finish(sink).ok());
    return out;
}

// b's delay against a in samples, to a fraction of one (parabola through the correlation peak).
double delayOf(std::span<const float> a, std::span<const float> b) {
    constexpr int span = 3;
    double c[2 * span + 1] = {};
    for (int lag = -span; lag <= span; ++lag) {
        for (std::size_t i = span; i + span < a.size(); ++i)
            c[lag + span] += double(a[i]) * double(b[std::size_t(std::ptrdiff_t(i) + lag)]);
    }
    const int peak = int(std::max_element(std::begin(c), std::end(c)) - std::begin(c));
    if (peak == 0 || peak == 2 * span)
        return double(peak - span);
    const double d = c[peak - 1] - 2.0 * c[peak] + c[peak + 1];
    return double(peak - span) + 0.5 * (c[peak - 1] - c[peak + 1]) / d;
}

} // namespace

// The writer's recipe follows a +300 ppm clock where the high-quality one did: the same
// length, within 0.01 ms everywhere along the track, and the same sound to within the
// filters' transition band.
TEST(ClockResampler, TheWritersRecipeKeepsTheHighRecipesTimingAndSound) {
    const auto input = demo::speechLike(40.0, kRate, 21);
    const double ratio = 1.0 + 300e-6;
    const auto high = resampled(input, ratio, ResampleRecipe::high);
    const auto kept = resampled(input, ratio, kClockRecipe);
    ASSERT_EQ(kept.size(), high.size());
    EXPECT_NEAR(double(high.size()), double(input.size()) * ratio, 2.0);
    const auto window = std::size_t(2.0 * kRate);
    double signal = 0.0;
    double difference = 0.0;
    for (std::size_t at = std::size_t(kRate); at + window < high.size(); at += 5 * window) {
        const auto a = std::span<const float>(high).subspan(at, window);
        const auto b = std::span<const float>(kept).subspan(at, window);
        EXPECT_LT(std::abs(delayOf(a, b)) / kRate * 1000.0, 0.01) << at;
        for (std::size_t i = 0; i < window; ++i) {
            signal += double(a[i]) * a[i];
            difference += (double(a[i]) - b[i]) * (double(a[i]) - b[i]);
        }
    }
    EXPECT_LT(10.0 * std::log10(difference / signal), -40.0);
}
