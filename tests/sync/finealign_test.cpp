// SPDX-License-Identifier: GPL-3.0-or-later
// The fine stage's arithmetic: lags to a fraction of a sample, and the fit that turns them
// into a clock, a break, or no confident answer at all.
#include "support/speechgen.h"
#include "sync/finealign.h"
#include "sync/lagmeter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <random>

using namespace corvale;

namespace {

constexpr double kRate = 16000.0;

// signal read at i + delay with a Blackman-windowed sinc of 64 taps: a fractional delay that
// keeps everything below 0.45 of the rate. Only samples from `from` on are computed.
std::vector<float> delayed(const std::vector<float>& signal, double delay, std::size_t from = 0) {
    constexpr int kHalf = 32;
    std::vector<float> out(signal.size(), 0.0f);
    for (std::size_t i = from; i < out.size(); ++i) {
        const double x = double(i) + delay;
        const auto centre = std::int64_t(std::floor(x));
        double sum = 0.0;
        for (std::int64_t k = centre - kHalf + 1; k <= centre + kHalf; ++k) {
            if (k < 0 || k >= std::int64_t(signal.size()))
                continue;
            const double t = x - double(k);
            const double sinc =
                t == 0.0 ? 1.0 : std::sin(std::numbers::pi * t) / (std::numbers::pi * t);
            const double u = (t + kHalf) / (2.0 * kHalf);
            const double window = 0.42 - 0.5 * std::cos(2 * std::numbers::pi * u) +
                                  0.08 * std::cos(4 * std::numbers::pi * u);
            sum += signal[std::size_t(k)] * sinc * window;
        }
        out[i] = float(sum);
    }
    return out;
}

// One-pole low and high cuts and white noise: a different microphone on a poor line.
std::vector<float> poorLine(std::vector<float> s, float noise, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> gauss(0.0f, noise);
    float low = 0.0f;
    float slow = 0.0f;
    for (float& v : s) {
        low += 0.5f * (v - low);
        slow += 0.05f * (low - slow);
        v = (low - slow) + gauss(rng);
    }
    return s;
}

LagMeasurement at(double seconds, double lag) {
    return {seconds * kRate, lag, 0.5};
}

} // namespace

TEST(LagMeter, FindsFractionalLagsWithinTwentiethOfAMillisecond) {
    // 48 kHz is correlated after decimation to 9.6 kHz; 16 kHz as it is.
    for (const double rate : {16000.0, 48000.0}) {
        const auto reference = test::speechLike(6.0, rate, 7);
        const double tolerance = 0.05e-3 * rate;
        const auto window = std::int64_t(2.5 * rate);
        const auto radius = std::int64_t(0.5 * rate);
        const auto trackStart = std::int64_t(2.0 * rate);
        LagMeter meter(rate);
        for (const double seconds : {0.0625, 0.06251, 0.0625 + 0.5 / rate, -0.0458}) {
            const double lag = seconds * rate; // track sample n holds the reference at n + lag
            const auto track = delayed(reference, lag, std::size_t(trackStart));
            const std::int64_t refStart = trackStart + std::int64_t(std::llround(lag)) - radius;
            const auto m = meter.measure(
                std::span(reference).subspan(std::size_t(refStart),
                                             std::size_t(window + 2 * radius)),
                refStart, std::span(track).subspan(std::size_t(trackStart), std::size_t(window)),
                trackStart);
            ASSERT_TRUE(m) << rate << " " << lag;
            EXPECT_NEAR(m->lagSamples, lag, tolerance) << rate << " " << lag;
            EXPECT_NEAR(m->lagSamples, lag, 0.25) << "sub-sample refinement at " << rate;
            EXPECT_NEAR(m->trackSample, double(trackStart + window / 2), window / 4.0);
            EXPECT_GT(m->peak, 0.5);
        }
    }
}

TEST(LagMeter, KeepsOnePeakThroughANoisyBandLimitedLineAndRefusesSilence) {
    const auto reference = test::speechLike(12.0, kRate, 9);
    const auto track = poorLine(delayed(reference, 400.3), 0.05f, 3);
    LagMeter meter(kRate);
    const auto m = meter.measure(std::span(reference).subspan(16000 * 2, 16000 * 5), 16000 * 2,
                                 std::span(track).subspan(16000 * 3, 16000 * 3), 16000 * 3);
    ASSERT_TRUE(m);
    EXPECT_NEAR(m->lagSamples, 400.3, 0.8);

    const std::vector<float> silence(16000 * 5, 0.0f);
    EXPECT_FALSE(meter.measure(silence, 0, std::span(track).subspan(0, 16000 * 3), 0));
    EXPECT_FALSE(meter.measure(std::span(reference).subspan(0, 1000), 0,
                               std::span(track).subspan(0, 2000), 0))
        << "an excerpt shorter than the window";
    EXPECT_FALSE(meter.measure(reference, 0, std::span(track).subspan(0, 100), 0))
        << "a window shorter than 0.25 s";
}

TEST(FitClock, FitsALineThroughDriftingLagsAndIgnoresStrayWindows) {
    std::vector<LagMeasurement> m;
    for (int i = 0; i < 30; ++i)
        m.push_back(
            at(20.0 + 40.0 * i, 8000.4 + 250e-6 * (20.0 + 40.0 * i) * kRate + ((i % 3) - 1) * 0.2));
    m[5].lagSamples += 3000.0; // an echo or a wrong peak
    m[17].lagSamples -= 90.0;
    const ClockFit fit = fitClock(m, agreementTolerance(kRate));
    ASSERT_EQ(fit.segments.size(), 1u);
    EXPECT_TRUE(fit.usable);
    EXPECT_FALSE(fit.confident) << "two clear windows the fit does not explain";
    ASSERT_EQ(fit.disagreeing.size(), 2u);
    EXPECT_DOUBLE_EQ(fit.disagreeing[0], (20.0 + 40.0 * 5) * kRate);
    EXPECT_EQ(fit.windowsMeasured, 30);
    EXPECT_EQ(fit.windowsAgreeing, 28);
    EXPECT_NEAR(fit.segments[0].lagAtZero, 8000.4, 0.2);
    EXPECT_NEAR(fit.segments[0].slope * 1e6, 250.0, 0.5);
    EXPECT_LT(fit.residualSamples, 0.25);
    EXPECT_TRUE(fit.gaps.empty());
}

TEST(FitClock, FindsABreakWhereARecorderDroppedABlock) {
    std::vector<LagMeasurement> m;
    for (int i = 0; i < 20; ++i) {
        const double t = 15.0 + 30.0 * i;
        // 100 ms of the track are missing after 300 s: later material belongs 1600 samples later.
        m.push_back(at(t, 500.0 + (t > 300.0 ? 1600.0 : 0.0)));
    }
    const ClockFit fit = fitClock(m, agreementTolerance(kRate));
    ASSERT_EQ(fit.segments.size(), 2u);
    EXPECT_TRUE(fit.confident);
    EXPECT_EQ(fit.windowsAgreeing, 20);
    ASSERT_EQ(fit.gaps.size(), 1u);
    EXPECT_DOUBLE_EQ(fit.gaps[0].first, 285.0 * kRate);
    EXPECT_DOUBLE_EQ(fit.gaps[0].second, 315.0 * kRate);
    EXPECT_EQ(fit.segments[0].firstTrackSample, 0);
    EXPECT_EQ(fit.segments[1].firstTrackSample, std::int64_t(300.0 * kRate));
    EXPECT_NEAR(fit.segments[1].lagAt(400.0 * kRate) - fit.segments[0].lagAt(400.0 * kRate), 1600.0,
                1e-6);
    EXPECT_EQ(segmentAgreeing(fit, at(100.0, 500.0), 2.0), 0);
    EXPECT_EQ(segmentAgreeing(fit, at(500.0, 2100.0), 2.0), 1);
    EXPECT_FALSE(segmentAgreeing(fit, at(500.0, 1000.0), 2.0));
}

TEST(FitClock, OverlappingWindowsBunchedTogetherAreNoSideOfABreak) {
    // A 10 s clip: windows 3 s long every 0.5 s. The first four share a stray lag 1.3 s off.
    std::vector<LagMeasurement> m;
    for (int i = 0; i < 14; ++i)
        m.push_back(at(1.5 + 0.5 * i, i < 4 ? -20800.0 : 0.0));
    const double window = 3.0 * kRate;
    EXPECT_EQ(fitClock(m, agreementTolerance(kRate)).segments.size(), 2u);
    const ClockFit fit = fitClock(m, agreementTolerance(kRate), 2.0 * window);
    ASSERT_EQ(fit.segments.size(), 1u);
    EXPECT_NEAR(fit.segments[0].lagAtZero, 0.0, 1e-9);
    EXPECT_EQ(fit.windowsAgreeing, 10);
}

TEST(FitClock, UnrelatedAudioNeverGivesAConfidentFit) {
    std::mt19937 rng(11);
    std::uniform_real_distribution<double> anywhere(-23200.0, 23200.0); // ±1.45 s
    for (int trial = 0; trial < 20; ++trial) {
        std::vector<LagMeasurement> m;
        for (int i = 0; i < 12 + trial * 4; ++i)
            m.push_back(at(30.0 * i, anywhere(rng)));
        const ClockFit fit = fitClock(m, agreementTolerance(kRate));
        EXPECT_FALSE(fit.confident) << "trial " << trial;
    }
    // Too few measurements to fit anything.
    EXPECT_TRUE(fitClock(std::vector{at(1.0, 2.0)}, 5.0).segments.empty());
    EXPECT_FALSE(fitClock({}, 5.0).confident);
}

TEST(FineAlignHelpers, CoarseLagFollowsTheAnchorsAndWindowsSpreadOverTheRegion) {
    OffsetResult offset;
    offset.offsetSamples = -1600; // the track started 0.1 s before the reference
    DriftAnalysis drift;
    EXPECT_DOUBLE_EQ(coarseLagAt(offset, drift, kRate, 5e6), -1600.0);
    drift.driftApplied = true;
    drift.points = {{600.0, 0.6}, {0.0, 0.0}};
    // Anchor times count from track sample 1600, the first that overlaps the reference.
    EXPECT_DOUBLE_EQ(coarseLagAt(offset, drift, kRate, 1600.0 + 300.0 * kRate),
                     -1600.0 + 0.3 * kRate);
    EXPECT_DOUBLE_EQ(coarseLagAt(offset, drift, kRate, 1600.0 + 900.0 * kRate),
                     -1600.0 + 0.6 * kRate);

    std::vector<float> envelope(1000, 0.1f);
    envelope[105] = 5.0f;
    const auto starts = pickFineWindows(envelope, 100, 900, 30, 8);
    ASSERT_EQ(starts.size(), 8u);
    EXPECT_GE(starts.front(), 100);
    EXPECT_LE(starts.back() + 30, 900);
    EXPECT_LE(starts.front(), 105) << "the loud frame is inside the first window";
    EXPECT_TRUE(pickFineWindows(envelope, 100, 120, 30, 8).empty());
}

// A fit is followed only when at least half the clear windows agree with it (and at least
// three): four of ten agreeing is a line through noise, five of ten is a clock.
TEST(AssessFit, NeedsHalfTheClearWindowsToAgree) {
    const auto assessed = [](int agreeing, int clear) {
        ClockFit fit;
        fit.segments = {ClockSegment{0, 100.0, 0.0}};
        fit.windowsClear = clear; // as fitClock counts them
        std::vector<LagMeasurement> windows;
        for (int i = 0; i < clear; ++i) {
            const double off = i < agreeing ? 0.0 : 500.0 + 37.0 * i;
            windows.push_back({48000.0 * i, 100.0 + off, 0.5, 10.0});
        }
        windows.push_back({48000.0 * clear, 9999.0, 0.1, 1.0}); // no clear peak: abstains
        assessFit(fit, windows, 1.5, 4.8, 0.0);
        return fit;
    };
    EXPECT_FALSE(assessed(4, 10).usable);
    EXPECT_FALSE(assessed(2, 2).usable) << "fewer than three agreeing";
    const ClockFit half = assessed(5, 10);
    EXPECT_TRUE(half.usable);
    EXPECT_FALSE(half.confident);
    EXPECT_EQ(half.windowsAgreeing, 5);
    EXPECT_TRUE(assessed(3, 3).confident);
}
