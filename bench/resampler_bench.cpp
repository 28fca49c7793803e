// SPDX-License-Identifier: GPL-3.0-or-later
// Which libsoxr recipe the writer needs to follow a clock: one hour of speech at 48 kHz on a
// +300 ppm clock, resampled by every recipe beside the high-quality one the writer used before.
// Every 5 minutes the lag between each recipe's output and the high-quality one is measured to
// a fraction of a sample over 2 s, with the level of the difference (residual). The cheapest
// recipe whose largest lag stays within 0.01 ms and whose residual is no larger than the
// very-high recipe's distance from the high one (about -48 dB: the filters' transition band)
// is the one to keep: the low and quick recipes keep the timing but change the sound (-17 dB).
//
//   resampler_bench [MINUTES]   (default 60)
#include "audio/clockresampler.h"
#include "demo/speechgen.h"

#include <QElapsedTimer>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

using namespace corvale;

namespace {

constexpr double kRate = 48000.0;
constexpr double kPpm = 300e-6;
constexpr double kCheckEverySeconds = 300.0;
constexpr double kCheckSeconds = 2.0;
constexpr double kToleranceMs = 0.01;
constexpr double kResidualDb = -40.0;

// The fractional lag of b against a (b[n] ~ a[n - lag]) by parabolic interpolation of their
// correlation around its peak within a few samples.
double lagOf(const std::vector<float>& a, const std::vector<float>& b) {
    const int span = 4;
    std::vector<double> c;
    for (int lag = -span; lag <= span; ++lag) {
        double sum = 0.0;
        for (std::size_t i = span; i + span < a.size(); ++i)
            sum += double(a[i]) * double(b[std::size_t(std::int64_t(i) + lag)]);
        c.push_back(sum);
    }
    const auto peak = std::size_t(std::max_element(c.begin(), c.end()) - c.begin());
    if (peak == 0 || peak + 1 == c.size())
        return double(int(peak) - span);
    const double d = c[peak - 1] - 2.0 * c[peak] + c[peak + 1];
    return double(int(peak) - span) + (d != 0.0 ? 0.5 * (c[peak - 1] - c[peak + 1]) / d : 0.0);
}

struct Figures {
    const char* name;
    double cpuSeconds = 0.0;
    double worstLagMs = 0.0;
    double residualDb = -999.0;
};

// Resamples minutes of looped speech by recipe, keeping the 2 s at every check.
std::vector<std::vector<float>> checkpoints(const std::vector<float>& loop, double minutes,
                                            ResampleRecipe recipe, double* seconds) {
    const auto total = std::int64_t(minutes * 60.0 * kRate);
    const auto every = std::int64_t(kCheckEverySeconds * kRate);
    const auto length = std::int64_t(kCheckSeconds * kRate);
    std::vector<std::vector<float>> kept;
    std::int64_t produced = 0;
    ClockResampler resampler;
    QElapsedTimer timer;
    timer.start();
    if (!resampler.start(1.0 + kPpm, recipe))
        return kept;
    const auto sink = [&](std::span<const float> out) -> Result<Done> {
        for (float x : out) {
            const std::int64_t at = produced++ % every;
            if (at == every / 2)
                kept.emplace_back();
            if (at >= every / 2 && at < every / 2 + length && !kept.empty())
                kept.back().push_back(x);
        }
        return Done{};
    };
    const std::size_t chunk = 48000;
    for (std::int64_t at = 0; at < total; at += std::int64_t(chunk)) {
        const std::size_t from = std::size_t(at) % loop.size();
        const std::size_t n = std::min({chunk, loop.size() - from, std::size_t(total - at)});
        if (!resampler.push(std::span<const float>(loop.data() + from, n), sink))
            return {};
        at -= std::int64_t(chunk - n);
    }
    if (!resampler.finish(sink))
        return {};
    *seconds = timer.elapsed() / 1000.0;
    return kept;
}

} // namespace

int main(int argc, char** argv) {
    const double minutes = argc > 1 ? std::atof(argv[1]) : 60.0;
    const std::vector<float> loop = demo::speechLike(97.0, kRate, 11);
    double seconds = 0.0;
    const auto today = checkpoints(loop, minutes, ResampleRecipe::high, &seconds);
    std::printf("%.0f min of speech at 48 kHz, +300 ppm; lag against the high recipe, every %.0f "
                "s over %.0f s\n",
                minutes, kCheckEverySeconds, kCheckSeconds);
    std::printf("%-9s %9s %12s %12s %s\n", "recipe", "cpu s", "worst lag ms", "residual dB",
                "keeps timing / sound");
    std::printf("%-9s %9.2f %12s %12s\n", "high", seconds, "(today)", "");
    const std::pair<const char*, ResampleRecipe> recipes[] = {
        {"veryHigh", ResampleRecipe::veryHigh},
        {"medium", ResampleRecipe::medium},
        {"low", ResampleRecipe::low},
        {"quick", ResampleRecipe::quick}};
    for (const auto& [name, recipe] : recipes) {
        Figures f{name};
        const auto kept = checkpoints(loop, minutes, recipe, &f.cpuSeconds);
        double signal = 0.0;
        double difference = 0.0;
        for (std::size_t k = 0; k < std::min(kept.size(), today.size()); ++k) {
            const std::size_t n = std::min(kept[k].size(), today[k].size());
            const std::vector<float> a(today[k].begin(), today[k].begin() + std::ptrdiff_t(n));
            const std::vector<float> b(kept[k].begin(), kept[k].begin() + std::ptrdiff_t(n));
            const double lag = lagOf(a, b);
            f.worstLagMs = std::max(f.worstLagMs, std::abs(lag) / kRate * 1000.0);
            for (std::size_t i = 0; i < n; ++i) {
                signal += double(a[i]) * a[i];
                difference += (double(a[i]) - b[i]) * (double(a[i]) - b[i]);
            }
        }
        f.residualDb = 10.0 * std::log10(std::max(difference, 1e-30) / std::max(signal, 1e-30));
        std::printf("%-9s %9.2f %12.5f %12.1f %s / %s\n", f.name, f.cpuSeconds, f.worstLagMs,
                    f.residualDb, f.worstLagMs <= kToleranceMs ? "yes" : "NO",
                    f.residualDb <= kResidualDb ? "yes" : "NO");
    }
    return 0;
}
