// SPDX-License-Identifier: GPL-3.0-or-later
// The whole-reference search: the decimation it reads through, and that a clip recorded
// apart from the reference stands out where it belongs while unrelated audio stands out
// nowhere.
#include "support/speechgen.h"
#include "sync/bandlimit.h"
#include "sync/waveformsearch.h"

#include <gtest/gtest.h>

#include <random>

using namespace corvale;

TEST(Decimator, ChunksOfAnySizeGiveTheFilterCentredOnEveryKeptSample) {
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    std::vector<float> in(10007);
    for (float& v : in)
        v = u(rng);
    for (const std::int64_t factor : {1, 3, 10}) {
        const std::vector<float> whole = decimate(in, factor);
        ASSERT_EQ(std::ssize(whole), (std::ssize(in) + factor - 1) / factor);
        const std::vector<float> h = decimationFilter(factor);
        const auto half = std::ssize(h) / 2;
        for (const std::int64_t j :
             {std::int64_t(0), std::int64_t(1), std::ssize(whole) / 2, std::ssize(whole) - 1}) {
            double expected = 0.0;
            for (std::int64_t k = -half; k <= half; ++k) {
                const std::int64_t i = j * factor + k;
                if (i >= 0 && i < std::ssize(in))
                    expected += double(h[std::size_t(k + half)]) * in[std::size_t(i)];
            }
            EXPECT_NEAR(whole[std::size_t(j)], expected, 1e-5) << factor << " " << j;
        }
        Decimator streamed(factor);
        std::vector<float> out;
        for (std::size_t at = 0, step = 1; at < in.size(); at += step, step = step * 3 % 997 + 1)
            streamed.push(std::span(in).subspan(at, std::min(step, in.size() - at)), out);
        streamed.finish(out);
        ASSERT_EQ(out.size(), whole.size());
        for (std::size_t j = 0; j < out.size(); ++j)
            ASSERT_NEAR(out[j], whole[j], 1e-6) << factor << " " << j;
    }
}

TEST(WaveformSearch, FindsAVoiceInTheMixAndNothingInUnrelatedAudio) {
    constexpr double kRate = 16000.0;
    const auto voices = demo::conversation(3, 600.0, kRate, 61, 0);
    const auto mix = demo::mix(voices, 0.6f);
    SearchReference reference = searchReferenceFor(kRate);
    reference.samples = decimate(mix, reference.factor, reference.presum);

    // Voice 1 from 98.3 s on, through another microphone (a first-order high-pass), with
    // hiss, on a clock 150 ppm slow; 8 s of it, taken 2 s into the clip.
    std::vector<float> clip = demo::resampleByRatio(
        demo::excerpt(voices[1], std::int64_t(98.3 * kRate), std::int64_t(12 * kRate)),
        1.0 + 150e-6);
    std::mt19937 rng(9);
    std::normal_distribution<float> hiss(0.0f, 0.003f);
    float previousIn = 0.0f;
    float previousOut = 0.0f;
    for (float& v : clip) {
        previousOut = 0.97f * (previousOut + v - previousIn);
        previousIn = v;
        v = previousOut + hiss(rng);
    }
    const auto queryStart = std::int64_t(2 * kRate);
    const auto query =
        std::span<const float>(clip).subspan(std::size_t(queryStart), std::size_t(8 * kRate));
    const auto found = searchWaveform(reference, query, queryStart);
    ASSERT_TRUE(found);
    // Its lag at the query's middle (6 s into the clip) is 98.3009 s; the search steps in
    // samples of about 5 kHz and leaves the last fraction of a millisecond to the fine stage.
    EXPECT_NEAR(found->lagSamples / kRate, 98.3009, 0.002);
    EXPECT_GT(found->margin(), 3.0);
    EXPECT_GT(found->peak, 20.0 * found->noise);

    const auto other = demo::mix(demo::conversation(3, 20.0, kRate, 62, 0), 0.6f);
    std::vector<float> noise(std::size_t(8 * kRate));
    for (float& v : noise)
        v = 30.0f * hiss(rng);
    for (const auto& unrelated :
         {std::span<const float>(other).subspan(0, noise.size()), std::span<const float>(noise)}) {
        const auto match = searchWaveform(reference, unrelated, 0);
        ASSERT_TRUE(match);
        EXPECT_LT(match->margin(), 1.5);
    }
    EXPECT_FALSE(searchWaveform(reference, std::vector<float>(std::size_t(8 * kRate)), 0))
        << "silence";
}
