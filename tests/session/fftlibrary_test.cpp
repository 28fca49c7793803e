// SPDX-License-Identifier: GPL-3.0-or-later
// The transform behind every correlation is FFTW's. It is held to the hand-written radix-2 it
// replaced, directly and through what the analysis finds on generated sessions: the recorded
// figures below are the radix-2 build's, and the analysis must find them again.
#include "session/trackanalysis.h"
#include "support/radix2fft.h"
#include "support/speechgen.h"
#include "support/wavfile.h"
#include "sync/fft.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <thread>

using namespace corvale;

namespace {

constexpr int kRate = 16000;

std::vector<std::complex<float>> noise(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> gauss;
    std::vector<std::complex<float>> out(n);
    for (auto& v : out)
        v = {gauss(rng), gauss(rng)};
    return out;
}

// RMS of a - b against the RMS of b.
double relativeError(const std::vector<std::complex<float>>& a,
                     const std::vector<std::complex<float>>& b) {
    double diff = 0.0;
    double norm = 0.0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        diff += std::norm(std::complex<double>(a[i]) - std::complex<double>(b[i]));
        norm += std::norm(std::complex<double>(b[i]));
    }
    return std::sqrt(diff / norm);
}

} // namespace

TEST(FftLibrary, AgreesWithTheRadix2TransformBothWaysAtEverySizeAndOnAnyThread) {
    for (const std::size_t requested : {std::size_t{2}, std::size_t{48}, std::size_t{4096},
                                        std::size_t{65537}, std::size_t{1} << 20}) {
        const Fft fft(requested);
        const test::Radix2Fft reference(requested);
        ASSERT_EQ(fft.size(), reference.size()) << "rounded up to the same power of two";
        const auto input = noise(fft.size(), unsigned(requested));
        auto ours = input;
        auto theirs = input;
        fft.forward(ours);
        reference.forward(theirs);
        EXPECT_LT(relativeError(ours, theirs), 1e-5) << "forward, size " << fft.size();
        fft.inverse(ours);
        reference.inverse(theirs);
        EXPECT_LT(relativeError(ours, theirs), 1e-5) << "inverse, size " << fft.size();
        // Unscaled: the round trip gives size() times the input.
        for (auto& v : ours)
            v /= float(fft.size());
        EXPECT_LT(relativeError(ours, input), 1e-5) << "round trip, size " << fft.size();
    }

    // One size's plans shared by transforms running at once, on data of any alignment.
    const std::size_t n = 1 << 14;
    const auto input = noise(n + 1, 7);
    std::vector<std::complex<float>> expected(input.begin(), input.begin() + n);
    test::Radix2Fft(n).forward(expected);
    std::vector<double> errors(4, 1.0);
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < errors.size(); ++t) {
        threads.emplace_back([&, t] {
            // Odd threads transform a view one element in, which FFTW may not see as aligned.
            std::vector<std::complex<float>> buffer(n + 1);
            std::span<std::complex<float>> data(buffer.data() + t % 2, n);
            std::copy(input.begin(), input.begin() + std::ptrdiff_t(n), data.begin());
            Fft(n).forward(data);
            errors[t] = relativeError({data.begin(), data.end()}, expected);
        });
    }
    for (auto& thread : threads)
        thread.join();
    for (const double error : errors)
        EXPECT_LT(error, 1e-5);
}

namespace {

struct Recorded {
    double offsetSeconds;
    std::size_t driftPoints;
    double lagAtZero;
    double ppm;
    int windowsMeasured;
    int windowsAgreeing;
    double searchLag; // 0: the search did not run
};

class FftLibrarySession : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_dir.isValid());
        m_reference = test::speechLike(700.0, kRate, 911);
        m_referenceWav = m_dir.filePath(QStringLiteral("ref.wav"));
        ASSERT_TRUE(test::writeWav(m_referenceWav, m_reference, 1, kRate));
        m_envelope = loadReferenceEnvelope(m_engine, m_referenceWav, false, {}).value();
    }

    void expectRecorded(const std::vector<float>& track, const Recorded& recorded) {
        const QString wav = m_dir.filePath(QStringLiteral("track.wav"));
        ASSERT_TRUE(test::writeWav(wav, track, 1, kRate));
        const FineReference fine{m_referenceWav, false,
                                 std::make_shared<WaveformReference>(m_referenceWav, false)};
        const auto analysed = analyzeTrack(m_engine, wav, false, m_envelope, {}, fine);
        ASSERT_TRUE(bool(analysed));
        const TrackAnalysisResult& r = analysed.value();
        ASSERT_TRUE(r.fine);
        const ClockFit& fit = r.fine->fit;
        ASSERT_FALSE(fit.segments.empty());
        const double searchLag =
            r.placement && r.placement->match ? r.placement->match->lagSamples : 0.0;
        EXPECT_NEAR(r.offset.offsetSeconds, recorded.offsetSeconds, 1e-9);
        EXPECT_EQ(r.drift.points.size(), recorded.driftPoints);
        // 0.01 samples at 16 kHz is 0.6 µs; the slope's share over the track stays below it.
        EXPECT_NEAR(fit.segments[0].lagAtZero, recorded.lagAtZero, 0.01);
        EXPECT_NEAR(fit.segments[0].slope * 1e6, recorded.ppm, 1e-3);
        EXPECT_EQ(fit.windowsMeasured, recorded.windowsMeasured);
        EXPECT_EQ(fit.windowsAgreeing, recorded.windowsAgreeing);
        EXPECT_NEAR(searchLag, recorded.searchLag, 0.01);
    }

    QTemporaryDir m_dir;
    SyncEngine m_engine{double(kRate)};
    std::vector<float> m_reference;
    QString m_referenceWav;
    std::vector<float> m_envelope;
};

} // namespace

TEST_F(FftLibrarySession, FindsWhatTheRadix2BuildFound) {
    // Ten minutes on a clock 300 ppm fast, 37.25 s in.
    const auto fast = test::resampleByRatio(
        test::excerpt(m_reference, 596000, std::int64_t(601.0 * kRate)), 1.0 + 300e-6);
    expectRecorded({fast.begin(), fast.begin() + 600 * kRate},
                   {37.4, 1, 595999.989607, 300.002069, 11, 11, 0.0});
    // Four minutes on the reference's clock, which the whole-reference search checks.
    expectRecorded(test::excerpt(m_reference, 2400123, std::int64_t(240.0 * kRate)),
                   {150.0, 1, 2400122.996929, 0.000543, 6, 6, 2400123.362754});
}
