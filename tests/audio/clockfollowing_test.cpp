// SPDX-License-Identifier: GPL-3.0-or-later
// The writer following a fitted clock: placement to the sample, steps between segments, and a
// resampled stretch that keeps its length and its place.
#include "audio/audiooutputwriter.h"
#include "support/speechgen.h"
#include "support/wavfile.h"
#include "sync/lagmeter.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace corvale;

namespace {

constexpr int kRate = 16000;

class ClockFollowing : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_dir.isValid());
        const QString in = m_dir.filePath(QStringLiteral("in.wav"));
        ASSERT_TRUE(test::writeWav(in, test::speechLike(20.0, kRate, 5), 1, kRate));
        // As read back, so that copied samples compare exactly.
        m_input = test::readWav(in).samples;
    }
    std::vector<float> write(std::vector<ClockSegment> clock,
                             std::int64_t cutFrom = AudioOutputWriter{}.cutStretchesFrom) {
        SyncPart part;
        part.inputWAV = m_dir.filePath(QStringLiteral("in.wav"));
        part.offsetSeconds = 99.0; // ignored with a clock
        part.driftPoints = {{0.0, 0.0}, {10.0, 0.5}};
        part.clock = std::move(clock);
        // Outputs never replace a file, so each write takes a name of its own.
        const QString out = m_dir.filePath(QStringLiteral("out%1.wav").arg(++m_written));
        AudioOutputWriter writer;
        writer.cutStretchesFrom = cutFrom;
        EXPECT_TRUE(bool(writer.write({part}, out)));
        return test::readWav(out).samples;
    }
    QTemporaryDir m_dir;
    std::vector<float> m_input;
    int m_written = 0;
};

} // namespace

TEST_F(ClockFollowing, PlacesTheStartToTheSampleAndCopiesAStillClock) {
    // Late by 500.3 samples: 500 silent samples, then the input unchanged.
    auto out = write({{0, 500.3, 0.0}});
    ASSERT_EQ(out.size(), m_input.size() + 500);
    EXPECT_TRUE(std::all_of(out.begin(), out.begin() + 500, [](float v) { return v == 0.0f; }));
    EXPECT_TRUE(std::equal(m_input.begin(), m_input.end(), out.begin() + 500));
    // Early by 1000.4 samples: the input from sample 1000 (the nearest whole placement).
    out = write({{0, -1000.4, 0.0}});
    ASSERT_EQ(out.size(), m_input.size() - 1000);
    EXPECT_TRUE(std::equal(out.begin(), out.end(), m_input.begin() + 1000));
}

TEST_F(ClockFollowing, StepsBetweenSegmentsInsertSilenceOrSkipInput) {
    // A dropped block: from input sample 80000 on, the material belongs 1600 samples later.
    auto out = write({{0, 0.0, 0.0}, {80000, 1600.0, 0.0}});
    ASSERT_EQ(out.size(), m_input.size() + 1600);
    EXPECT_TRUE(std::equal(m_input.begin(), m_input.begin() + 80000, out.begin()));
    EXPECT_TRUE(
        std::all_of(out.begin() + 80000, out.begin() + 81600, [](float v) { return v == 0.0f; }));
    EXPECT_TRUE(std::equal(m_input.begin() + 80000, m_input.end(), out.begin() + 81600));
    // A repeated block: from 80000 on, the material belongs 1600 samples earlier.
    out = write({{0, 0.0, 0.0}, {80000, -1600.0, 0.0}});
    ASSERT_EQ(out.size(), m_input.size() - 1600);
    EXPECT_TRUE(std::equal(m_input.begin() + 81600, m_input.end(), out.begin() + 80000));
}

TEST_F(ClockFollowing, ResamplesADriftingClockInPlace) {
    // 1000 ppm: the 20 s input covers 20.02 s of the reference, its middle 10 ms later.
    const auto out = write({{0, 0.0, 1e-3}});
    EXPECT_NEAR(double(out.size()), double(m_input.size()) * 1.001, 2.0);
    // Input sample i belongs at output i * 1.001: measure a stretch in the middle.
    const std::int64_t start = 9 * kRate;
    const std::int64_t window = kRate / 2; // short, so that the clock moves it little
    LagMeter meter(kRate);
    const auto m = meter.measure(
        std::span(out).subspan(std::size_t(start), std::size_t(2 * kRate)), start,
        std::span(m_input).subspan(std::size_t(start + kRate / 2), std::size_t(window)),
        start + kRate / 2);
    ASSERT_TRUE(m);
    EXPECT_NEAR(m->lagSamples, 1e-3 * m->trackSample, 1.0)
        << "the resampled stretch sits where its clock puts it";
}

// Cut in two halves resampled at once, a long stretch comes out as from one resampler: the same
// length, every sample close (the resampler's phase steps differ between two streams by about a
// thousandth of a frame over seconds), across the cut and after a step.
TEST_F(ClockFollowing, AStretchResampledInTwoHalvesIsTheWholeOne) {
    for (const double slope : {300e-6, -213e-6}) {
        const std::vector<ClockSegment> clock{{0, 40.3, slope}, {200000, 900.0, slope}};
        const auto whole = write(clock);
        const auto halves = write(clock, 100000);
        ASSERT_EQ(halves.size(), whole.size());
        double worst = 0.0, squares = 0.0;
        for (std::size_t i = 0; i < whole.size(); ++i) {
            const double lsb = std::abs(halves[i] - whole[i]) * 32768.0;
            worst = std::max(worst, lsb);
            squares += lsb * lsb;
        }
        EXPECT_LE(worst, 10.0) << slope;
        EXPECT_LE(std::sqrt(squares / double(whole.size())), 0.5) << slope;
    }
}
