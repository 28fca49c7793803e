// SPDX-License-Identifier: GPL-3.0-or-later
// What the waveform correlations share: the low-pass that comes before decimation, the band
// they weigh, and the taper that keeps a cut excerpt's edges out of its spectrum.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace corvale {

// Blackman-windowed sinc cut at 0.45 of the decimated rate, 8 × factor + 1 taps, unit gain:
// linear phase and centred, so it delays nothing. {1} when factor is 1.
[[nodiscard]] std::vector<float> decimationFilter(std::int64_t factor);

// Weight of a frequency in a band [lowHz, highHz] with 60 Hz raised-cosine edges.
[[nodiscard]] double bandWeight(double hz, double lowHz, double highHz);

// Raised-cosine ramps over the first and last 5 % of n samples, 1 in between.
[[nodiscard]] float taper(std::size_t i, std::size_t n);

// Every factor-th sample of a low-passed signal fed a chunk at a time: output j is the filter
// centred on input sample j × factor, samples before the first and after the last counting
// as zeros. Chunks may have any length.
//
// With a presum (a divisor of factor), groups of presum samples are first averaged and the
// filter then runs at the lower rate: about a third of the work, for outputs that lag the
// plain ones by (presum − 1) / 2 input samples and let somewhat more of the band's upper
// neighbours fold into it. Correlations that decimate both sides alike lose nothing by it.
class Decimator {
public:
    explicit Decimator(std::int64_t factor, std::int64_t presum = 1);

    [[nodiscard]] std::int64_t factor() const { return m_factor * m_presum; }
    // Appends the outputs the chunk completes.
    void push(std::span<const float> chunk, std::vector<float>& out);
    // Appends the outputs that wait for samples past the end.
    void finish(std::vector<float>& out);

private:
    void emitReady(std::vector<float>& out, std::int64_t available);
    void filterInto(std::vector<float>& out, std::int64_t count);
    void pushFiltered(std::span<const float> chunk, std::vector<float>& out);

    std::int64_t m_presum = 1;
    std::vector<float> m_groups; // scratch: a chunk's group averages
    float m_groupSum = 0.0f;     // the group under way
    std::int64_t m_groupFill = 0;
    std::int64_t m_factor; // of the filtering stage
    std::vector<float> m_filter;
    std::vector<float> m_pending;    // input from m_pendingStart on
    std::int64_t m_pendingStart = 0; // input index of m_pending[0]; negative: leading zeros
    std::int64_t m_next = 0;         // the next output's index
    std::int64_t m_inputSeen = 0;
    std::vector<float> m_phases; // scratch: one block's input split into its phases
    std::vector<float> m_block;
};

// Decimates a whole excerpt: the same as one push and finish.
[[nodiscard]] std::vector<float> decimate(std::span<const float> in, std::int64_t factor,
                                          std::int64_t presum = 1);

} // namespace corvale
