// SPDX-License-Identifier: GPL-3.0-or-later
// Offset detection plus drift analysis of a one-hour 48 kHz track against a one-hour
// reference, single-threaded: the correlation work given the envelopes (target 100 ms), the
// envelopes alone, and the whole analysis from sample lists (target 500 ms).
#include "benchsupport.h"
#include "support/speechgen.h"
#include "sync/envelope.h"
#include "sync/syncengine.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

using namespace corvale;

namespace {

constexpr double kRate = 48000;

} // namespace

int main() {
    std::printf("generating one hour at 48 kHz (reference) and a drifting one-hour track...\n");
    std::vector<float> reference, track;
    {
        const auto world = demo::speechLike(3700, kRate, 42);
        reference = demo::excerpt(world, 0, static_cast<std::int64_t>(3600 * kRate));
        // Starts 31.4 s into the reference and gains 1.2 s over the hour.
        const double ratio = 1.0 + 1.2 / 3600;
        track = demo::resampleByRatio(
            demo::excerpt(world, static_cast<std::int64_t>(31.4 * kRate),
                          static_cast<std::int64_t>(3600 * kRate * ratio) + 2),
            ratio);
        track.resize(static_cast<std::size_t>(3600 * kRate));
    }

    const SyncEngine engine(kRate);
    const std::int64_t hop = engine.hopSamples();
    std::vector<float> refEnv, trackEnv;
    const double envelopeMs = bench::bestOfMs(5, [&] {
        refEnv = blockRMS(reference, hop);
        trackEnv = blockRMS(track, hop);
    });

    OffsetResult offset;
    DriftAnalysis drift;
    const double offsetMs =
        bench::bestOfMs(7, [&] { offset = engine.detectOffsetFromEnvelopes(refEnv, trackEnv); });
    const double driftMs = bench::bestOfMs(7, [&] {
        drift = engine.analyzeDriftFromEnvelopes(refEnv, trackEnv, offset.offsetSamples);
    });
    const double correlationMs = bench::bestOfMs(7, [&] {
        offset = engine.detectOffsetFromEnvelopes(refEnv, trackEnv);
        drift = engine.analyzeDriftFromEnvelopes(refEnv, trackEnv, offset.offsetSamples);
    });
    const double wholeMs = bench::bestOfMs(5, [&] {
        offset = engine.detectOffset(reference, track);
        drift = engine.analyzeDrift(reference, track, offset.offsetSamples);
    });

    const double positions = double(refEnv.size()) - 300 + 1;
    std::printf("result: offset %.1f s (+ start correction %.1f s), drift applied %s, %zu anchors, "
                "last drift %.2f s\n",
                offset.offsetSeconds, double(drift.startCorrectionSamples) / kRate,
                drift.driftApplied ? "yes" : "no", drift.points.size(),
                drift.points.empty() ? 0.0 : drift.points.back().driftSeconds);
    std::printf("offset detection: 12 segments x %.0f positions x 300 = %.0f M multiply-adds\n",
                positions, 12 * positions * 300 / 1e6);
    std::printf("blockRMS of both lists (2 x %zu samples):        %8.1f ms\n", reference.size(),
                envelopeMs);
    std::printf("detectOffsetFromEnvelopes:                        %8.1f ms\n", offsetMs);
    std::printf("analyzeDriftFromEnvelopes:                        %8.1f ms\n", driftMs);
    std::printf("correlation work, offset + drift (target 100 ms): %8.1f ms\n", correlationMs);
    std::printf("detectOffset + analyzeDrift from samples (500 ms): %7.1f ms\n", wholeMs);
    return 0;
}
