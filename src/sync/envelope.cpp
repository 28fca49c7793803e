// SPDX-License-Identifier: GPL-3.0-or-later
#include "envelope.h"

#include "vectorops.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace corvale {
namespace {

// One envelope value. blockRMS and EnvelopeAccumulator both come through here with one
// contiguous block, so their values agree bit for bit.
float blockValue(const float* block, std::int64_t hop) {
    const auto n = static_cast<std::size_t>(hop);
    return std::sqrt(vec::sumOfSquares(block, n) / static_cast<float>(hop));
}

// Memory-bound; the wider clone only saves instructions. Same arithmetic in every clone.
__attribute__((target_clones("avx2", "default"))) void
blockValues(const float* samples, std::int64_t blocks, std::int64_t hop, float* out) {
    for (std::int64_t i = 0; i < blocks; ++i)
        out[i] = blockValue(samples + i * hop, hop);
}

// The hot loop: one dot product of the segment per reference position. The reference window
// norms come from the prefix sums. AVX2 clone for machines that have it; the lane order of
// vec::dotProduct makes both clones give identical scores.
__attribute__((target_clones("avx2", "default"))) void
scorePositions(const float* reference, const double* sums, const double* squares,
               const float* segment, std::int64_t length, double segmentNorm,
               std::int64_t firstPosition, std::int64_t lastPosition, double* scores) {
    const auto n = static_cast<std::size_t>(length);
    const auto dLength = static_cast<double>(length);
    for (std::int64_t k = firstPosition; k <= lastPosition; ++k) {
        const double dot = vec::dotProduct(reference + k, segment, n);
        const double sum = sums[k + length] - sums[k];
        const double var = squares[k + length] - squares[k] - sum * sum / dLength;
        const double norm = std::sqrt(std::max(var, 0.0));
        scores[k - firstPosition] = norm > 1e-9 ? dot / (norm * segmentNorm) : -2.0;
    }
}

} // namespace

std::vector<float> blockRMS(std::span<const float> samples, std::int64_t hop) {
    if (hop < 1)
        return {};
    const auto blocks = static_cast<std::int64_t>(samples.size()) / hop;
    std::vector<float> out(static_cast<std::size_t>(blocks));
    blockValues(samples.data(), blocks, hop, out.data());
    return out;
}

EnvelopeAccumulator::EnvelopeAccumulator(std::int64_t hop) : m_hop(std::max<std::int64_t>(hop, 1)) {
    m_pending.reserve(static_cast<std::size_t>(m_hop));
}

void EnvelopeAccumulator::push(std::span<const float> samples) {
    m_samplesSeen += static_cast<std::int64_t>(samples.size());
    const auto hop = static_cast<std::size_t>(m_hop);
    std::size_t used = 0;
    if (!m_pending.empty()) {
        used = std::min(hop - m_pending.size(), samples.size());
        m_pending.insert(m_pending.end(), samples.begin(), samples.begin() + used);
        if (m_pending.size() < hop)
            return;
        m_envelope.push_back(blockValue(m_pending.data(), m_hop));
        m_pending.clear();
    }
    const auto rest = samples.subspan(used);
    const auto blocks = static_cast<std::int64_t>(rest.size() / hop);
    const std::size_t before = m_envelope.size();
    m_envelope.resize(before + static_cast<std::size_t>(blocks));
    blockValues(rest.data(), blocks, m_hop, m_envelope.data() + before);
    const auto tail = rest.subspan(static_cast<std::size_t>(blocks) * hop);
    m_pending.assign(tail.begin(), tail.end());
}

std::vector<float> onsetEnvelope(std::span<const float> envelope) {
    std::vector<float> out(envelope.begin(), envelope.end());
    if (envelope.size() < 2)
        return out;
    out[0] = 0.0f;
    for (std::size_t i = 1; i < envelope.size(); ++i)
        out[i] = std::max(0.0f, envelope[i] - envelope[i - 1]);
    return out;
}

PrefixSums prefixSums(std::span<const float> values) {
    PrefixSums p;
    p.sums.resize(values.size() + 1);
    p.squares.resize(values.size() + 1);
    p.sums[0] = 0.0;
    p.squares[0] = 0.0;
    for (std::size_t i = 0; i < values.size(); ++i) {
        const double x = values[i];
        p.sums[i + 1] = p.sums[i] + x;
        p.squares[i + 1] = p.squares[i] + x * x;
    }
    return p;
}

std::vector<std::int64_t> pickSegmentStarts(std::span<const float> envelope,
                                            std::int64_t windowLength, std::int64_t count) {
    const auto n = static_cast<std::int64_t>(envelope.size());
    if (n < windowLength)
        return n > 0 ? std::vector<std::int64_t>{0} : std::vector<std::int64_t>{};
    std::vector<std::int64_t> starts;
    if (count <= 0 || windowLength < 1)
        return starts;
    const std::int64_t positions = n - windowLength + 1;
    const std::vector<double> sums = prefixSums(envelope).sums;
    for (std::int64_t k = 0; k < count; ++k) {
        const std::int64_t lo = k * positions / count;
        const std::int64_t hi = std::min((k + 1) * positions / count - 1, n - windowLength);
        if (hi < lo)
            continue;
        std::int64_t best = lo;
        double bestSum = -1.0;
        for (std::int64_t s = lo; s <= hi; ++s) {
            const double windowSum = sums[static_cast<std::size_t>(s + windowLength)] -
                                     sums[static_cast<std::size_t>(s)];
            if (windowSum > bestSum) {
                bestSum = windowSum;
                best = s;
            }
        }
        starts.push_back(best);
    }
    return starts;
}

std::optional<ScanResult> scanSegment(std::span<const float> reference,
                                      const PrefixSums& referenceSums,
                                      std::span<const float> segment, std::int64_t firstPosition,
                                      std::int64_t lastPosition, std::int64_t exclusion) {
    const auto length = static_cast<std::int64_t>(segment.size());
    if (length == 0 || firstPosition < 0 || lastPosition < firstPosition ||
        lastPosition + length > static_cast<std::int64_t>(reference.size()) ||
        referenceSums.sums.size() < reference.size() + 1 ||
        referenceSums.squares.size() < reference.size() + 1)
        return std::nullopt;

    std::vector<float> centred(segment.begin(), segment.end());
    const float segmentMean = vec::mean(centred);
    for (float& v : centred)
        v -= segmentMean;
    const float segmentNorm = std::sqrt(vec::sumOfSquares(centred));
    if (segmentNorm <= 1e-9f)
        return std::nullopt;

    std::vector<double> scores(static_cast<std::size_t>(lastPosition - firstPosition + 1));
    scorePositions(reference.data(), referenceSums.sums.data(), referenceSums.squares.data(),
                   centred.data(), length, segmentNorm, firstPosition, lastPosition, scores.data());

    constexpr double minusInfinity = -std::numeric_limits<double>::infinity();
    double best = minusInfinity;
    std::size_t bestIndex = 0;
    for (std::size_t i = 0; i < scores.size(); ++i) {
        if (scores[i] > best) {
            best = scores[i];
            bestIndex = i;
        }
    }
    if (!(best > minusInfinity))
        return std::nullopt;

    double second = minusInfinity;
    const auto bestAt = static_cast<std::int64_t>(bestIndex);
    for (std::size_t i = 0; i < scores.size(); ++i) {
        const auto distance = static_cast<std::int64_t>(i) - bestAt;
        if ((distance >= exclusion || -distance >= exclusion) && scores[i] > second)
            second = scores[i];
    }
    const double margin = second > minusInfinity ? std::max(best - second, 0.0) : best;
    return ScanResult{firstPosition + bestAt, best, margin};
}

CombinedOffset combineCandidates(std::span<const OffsetCandidate> candidates) {
    constexpr std::int64_t radius = 30;
    constexpr double weightFloor = 1e-6;
    if (candidates.empty())
        return {};

    const auto inCluster = [](const OffsetCandidate& member, const OffsetCandidate& anchor) {
        return std::abs(member.lagFrames - anchor.lagFrames) <= radius;
    };
    const OffsetCandidate* winner = nullptr;
    double winnerSupport = 0.0;
    for (const OffsetCandidate& anchor : candidates) {
        double support = 0.0;
        for (const OffsetCandidate& c : candidates) {
            if (inCluster(c, anchor) && c.margin > 0.0)
                support += c.margin;
        }
        if (!winner || support > winnerSupport) {
            winner = &anchor;
            winnerSupport = support;
        }
    }

    CombinedOffset out;
    double weightedLags = 0.0;
    double weights = 0.0;
    bool first = true;
    for (const OffsetCandidate& c : candidates) {
        if (!inCluster(c, *winner))
            continue;
        const double w = c.margin > weightFloor ? c.margin : weightFloor;
        weightedLags += w * static_cast<double>(c.lagFrames);
        weights += w;
        out.confidence = first ? c.score : std::max(out.confidence, c.score);
        out.margin = first ? c.margin : std::max(out.margin, c.margin);
        first = false;
        ++out.count;
    }
    out.lagFrames = static_cast<std::int64_t>(std::llround(weightedLags / weights));
    if (out.margin < kLowBandMargin || out.confidence < kLowBandConfidence)
        out.band = ConfidenceBand::low;
    else if (out.confidence >= kHighBandConfidence && out.margin >= kHighBandMargin)
        out.band = ConfidenceBand::high;
    else
        out.band = ConfidenceBand::medium;
    return out;
}

double longestUnanchoredSpan(std::span<const DriftPoint> points, double alignedDurationSeconds) {
    if (!(alignedDurationSeconds > 0.0))
        return 0.0;
    if (points.empty())
        return alignedDurationSeconds;
    std::vector<double> times;
    times.reserve(points.size());
    for (const DriftPoint& p : points)
        times.push_back(p.timeSeconds);
    std::sort(times.begin(), times.end());
    double gap = std::max(times.front(), 0.0);
    for (std::size_t i = 1; i < times.size(); ++i)
        gap = std::max(gap, times[i] - times[i - 1]);
    return std::max(gap, alignedDurationSeconds - times.back());
}

} // namespace corvale
