// SPDX-License-Identifier: GPL-3.0-or-later
#include "bandlimit.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace corvale {
namespace {

constexpr double kBandEdgeHz = 60.0;

} // namespace

std::vector<float> decimationFilter(std::int64_t factor) {
    if (factor <= 1)
        return {1.0f};
    const std::int64_t half = 4 * factor;
    const double cutoff = 0.45 / double(factor); // cycles per input sample
    std::vector<float> filter(std::size_t(2 * half + 1));
    double sum = 0.0;
    for (std::int64_t k = -half; k <= half; ++k) {
        const double x = 2.0 * cutoff * double(k);
        const double sinc = k == 0 ? 1.0 : std::sin(std::numbers::pi * x) / (std::numbers::pi * x);
        const double u = double(k + half) / double(2 * half);
        const double window = 0.42 - 0.5 * std::cos(2.0 * std::numbers::pi * u) +
                              0.08 * std::cos(4.0 * std::numbers::pi * u);
        filter[std::size_t(k + half)] = float(sinc * window);
        sum += sinc * window;
    }
    for (float& h : filter)
        h = float(h / sum);
    return filter;
}

double bandWeight(double hz, double low, double high) {
    if (hz <= low - kBandEdgeHz || hz >= high + kBandEdgeHz)
        return 0.0;
    if (hz < low)
        return 0.5 + 0.5 * std::cos(std::numbers::pi * (low - hz) / kBandEdgeHz);
    if (hz > high)
        return 0.5 + 0.5 * std::cos(std::numbers::pi * (hz - high) / kBandEdgeHz);
    return 1.0;
}

float taper(std::size_t i, std::size_t n) {
    const std::size_t ramp = std::max<std::size_t>(n / 20, 1);
    const std::size_t fromEdge = std::min(i, n - 1 - i);
    if (fromEdge >= ramp)
        return 1.0f;
    return float(0.5 - 0.5 * std::cos(std::numbers::pi * (double(fromEdge) + 0.5) / double(ramp)));
}

Decimator::Decimator(std::int64_t factor, std::int64_t presum)
    : m_presum(presum >= 1 && factor % presum == 0 ? presum : 1),
      m_factor(std::max<std::int64_t>(factor / m_presum, 1)), m_filter(decimationFilter(m_factor)) {
    const auto half = std::int64_t(m_filter.size() / 2);
    m_pending.assign(std::size_t(half), 0.0f);
    m_pendingStart = -half;
}

void Decimator::emitReady(std::vector<float>& out, std::int64_t available) {
    const auto half = std::int64_t(m_filter.size() / 2);
    const std::int64_t ready =
        (available - half - 1) < 0 ? 0 : (available - half - 1) / m_factor + 1;
    if (ready > m_next)
        filterInto(out, ready - m_next);
    // Keep only what the next output still reads.
    const std::int64_t keepFrom = m_next * m_factor - half - m_pendingStart;
    if (keepFrom > 0) {
        const auto drop = std::min<std::size_t>(std::size_t(keepFrom), m_pending.size());
        m_pending.erase(m_pending.begin(), m_pending.begin() + std::ptrdiff_t(drop));
        m_pendingStart += std::int64_t(drop);
    }
}

// Outputs m_next … m_next + count − 1 from m_pending, a block at a time. The input is first
// split into its factor phases, so that each tap is one multiply-add over a run of outputs:
// several times faster than a dot product per output, which waits on its own sum.
void Decimator::filterInto(std::vector<float>& out, std::int64_t count) {
    constexpr std::int64_t kBlock = 1024;
    const auto taps = std::int64_t(m_filter.size());
    const auto half = taps / 2;
    const std::int64_t rows = kBlock + (taps - 1) / m_factor + 1;
    m_phases.resize(std::size_t(m_factor * rows));
    m_block.resize(std::size_t(kBlock));
    for (std::int64_t done = 0; done < count; done += kBlock) {
        const std::int64_t n = std::min(kBlock, count - done);
        const std::int64_t base = (m_next + done) * m_factor - half - m_pendingStart;
        const std::int64_t used = n + (taps - 1) / m_factor + 1;
        const auto size = std::int64_t(m_pending.size());
        for (std::int64_t p = 0; p < m_factor; ++p) {
            float* phase = m_phases.data() + p * rows;
            for (std::int64_t r = 0; r < used; ++r) {
                const std::int64_t i = base + r * m_factor + p;
                phase[r] = i < size ? m_pending[std::size_t(i)] : 0.0f;
            }
        }
        float* acc = m_block.data();
        std::fill(acc, acc + n, 0.0f);
        for (std::int64_t t = 0; t < taps; ++t) {
            const float h = m_filter[std::size_t(t)];
            const float* in = m_phases.data() + (t % m_factor) * rows + t / m_factor;
            for (std::int64_t i = 0; i < n; ++i)
                acc[i] += h * in[i];
        }
        out.insert(out.end(), acc, acc + n);
    }
    m_next += count;
}

void Decimator::push(std::span<const float> chunk, std::vector<float>& out) {
    if (m_presum == 1) {
        pushFiltered(chunk, out);
        return;
    }
    const float scale = 1.0f / float(m_presum);
    std::size_t i = 0;
    m_groups.clear();
    // Finish the group a previous chunk began, then whole groups straight from the chunk.
    while (m_groupFill > 0 && i < chunk.size()) {
        m_groupSum += chunk[i++];
        if (++m_groupFill == m_presum) {
            m_groups.push_back(m_groupSum * scale);
            m_groupSum = 0.0f;
            m_groupFill = 0;
        }
    }
    const auto b = std::size_t(m_presum);
    const std::size_t whole = (chunk.size() - i) / b;
    const std::size_t first = m_groups.size();
    m_groups.resize(first + whole);
    float* groups = m_groups.data() + first;
    const float* in = chunk.data() + i;
    for (std::size_t g = 0; g < whole; ++g) {
        float sum = 0.0f;
        for (std::size_t k = 0; k < b; ++k)
            sum += in[g * b + k];
        groups[g] = sum * scale;
    }
    for (i += whole * b; i < chunk.size(); ++i) {
        m_groupSum += chunk[i];
        ++m_groupFill;
    }
    pushFiltered(m_groups, out);
}

void Decimator::pushFiltered(std::span<const float> chunk, std::vector<float>& out) {
    m_pending.insert(m_pending.end(), chunk.begin(), chunk.end());
    m_inputSeen += std::int64_t(chunk.size());
    emitReady(out, m_pendingStart + std::int64_t(m_pending.size()));
}

void Decimator::finish(std::vector<float>& out) {
    if (m_groupFill > 0) { // a last, partial group: the samples past the end count as zeros
        const float last = m_groupSum / float(m_presum);
        m_groupFill = 0;
        m_groupSum = 0.0f;
        pushFiltered(std::span(&last, 1), out);
    }
    // Outputs exist for input samples 0, factor, … below the input's length; what lies past
    // the end reads as zeros.
    const std::int64_t outputs = (m_inputSeen + m_factor - 1) / m_factor;
    if (outputs > m_next)
        filterInto(out, outputs - m_next);
    m_pending.clear();
}

std::vector<float> decimate(std::span<const float> in, std::int64_t factor, std::int64_t presum) {
    Decimator d(factor, presum);
    std::vector<float> out;
    out.reserve(in.size() / std::size_t(d.factor()) + 1);
    d.push(in, out);
    d.finish(out);
    return out;
}

} // namespace corvale
