// SPDX-License-Identifier: GPL-3.0-or-later
// The generated truth checked the way the run will meet it: every clip, converted as the run
// converts it, against the converted reference at the place the truth names.
#include "support/clipsession.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

using namespace corvale;

namespace {

// How far the reference lags the place the truth predicts for clip sample `at` (0 when the
// truth is exact), by normalized cross-correlation of one second, refined by a parabola.
std::optional<double> missAt(const std::vector<float>& clip, const std::vector<float>& reference,
                             std::int64_t at, std::int64_t length, double predicted) {
    const auto base = std::int64_t(std::llround(predicted));
    double score[9];
    for (int k = 0; k < 9; ++k) {
        double ab = 0.0, aa = 0.0, bb = 0.0;
        for (std::int64_t i = at; i < at + length; ++i) {
            const std::int64_t r = i + base + k - 4;
            const double a = clip[std::size_t(i)];
            const double b = r >= 0 && r < std::ssize(reference) ? reference[std::size_t(r)] : 0.0;
            ab += a * b;
            aa += a * a;
            bb += b * b;
        }
        score[k] = aa > 0.0 && bb > 0.0 ? ab / std::sqrt(aa * bb) : 0.0;
    }
    const int top = int(std::max_element(score + 1, score + 8) - score);
    if (score[top] < 0.3)
        return std::nullopt;
    const double a = score[top - 1], b = score[top], c = score[top + 1];
    const double curve = a - 2.0 * b + c;
    return double(base + top - 4) + (curve < 0.0 ? 0.5 * (a - c) / curve : 0.0) - predicted;
}

} // namespace

TEST(ClipSessionTest, TruthHoldsAsTheRunSeesIt) {
    QTemporaryDir temp;
    ASSERT_TRUE(temp.isValid());
    constexpr int kRate = 16000;
    const std::vector<test::ClipPlace> places{
        {61.0, 20.0}, {300.5, 15.0}, {903.25, 30.0}, {1500.0, 10.0}, {1770.0, 20.0}};
    QElapsedTimer timer;
    timer.start();
    const auto session =
        test::makeClipSession(temp.filePath(QStringLiteral("session")), 30.0, kRate, places, 7);
    ASSERT_TRUE(session);
    std::printf("generated 30 min at %d Hz in %.1f s\n", kRate, double(timer.elapsed()) / 1000.0);
    std::printf("reference delay %.3f samples\n", session->referenceDelaySamples);
    EXPECT_EQ(session->rate, kRate);
    ASSERT_EQ(session->clips.size(), places.size());
    EXPECT_TRUE(QFileInfo::exists(session->otherConversation));
    EXPECT_TRUE(QFileInfo::exists(session->noise));
    const auto again =
        test::makeClipSession(temp.filePath(QStringLiteral("session")), 30.0, kRate, places, 7);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->clips.back().trueOffsetSamples, session->clips.back().trueOffsetSamples);

    const QString referenceWav = temp.filePath(QStringLiteral("reference.wav"));
    ASSERT_TRUE(test::convertAsRun(session->reference, referenceWav, kRate));
    const auto reference = test::readMono(referenceWav);
    const double slope = session->trackClockPpm * 1e-6;
    std::vector<test::GeneratedClip> files = session->clips;
    files.push_back(session->track);
    for (const test::GeneratedClip& file : files) {
        const QString wav = temp.filePath(QStringLiteral("clip.wav"));
        ASSERT_TRUE(test::convertAsRun(file.path, wav, kRate));
        const auto clip = test::readMono(wav);
        std::printf("%-14s codec delay %8.3f samples, true offset %14.3f\n",
                    qPrintable(QFileInfo(file.path).fileName()), file.codecDelaySamples,
                    file.trueOffsetSamples);
        // The loudest second of each third of the file (a clock 60 ppm off moves a 20 s clip
        // by over a millisecond from one end to the other).
        int measured = 0;
        const std::int64_t third = std::ssize(clip) / 3;
        for (int t = 0; t < 3; ++t) {
            const std::int64_t at =
                test::loudestBlock(clip, t * third, (t + 1) * third, kRate, kRate / 8);
            // The lag moves by a sample across the second at this rate: a correlation measures
            // it where the energy is.
            double moment = 0.0, energy = 0.0;
            for (std::int64_t i = at; i < at + kRate; ++i) {
                const double e = double(clip[std::size_t(i)]) * clip[std::size_t(i)];
                moment += e * double(i);
                energy += e;
            }
            const double predicted = file.trueOffsetSamples + slope * moment / energy;
            const auto miss = missAt(clip, reference, at, kRate, predicted);
            if (!miss)
                continue; // the participant is quiet here
            ++measured;
            std::printf("  %.3f", *miss);
            EXPECT_LT(std::abs(*miss) * 1000.0 / kRate, 0.01)
                << qPrintable(file.path) << " third " << t;
        }
        std::printf("\n");
        EXPECT_GE(measured, 1) << qPrintable(file.path);
    }
}
