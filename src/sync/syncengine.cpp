// SPDX-License-Identifier: GPL-3.0-or-later
#include "syncengine.h"

#include "bandlimit.h"
#include "driftrules.h"
#include "envelope.h"
#include "fft.h"
#include "vectorops.h"

#include <algorithm>
#include <cmath>
#include <complex>

namespace corvale {
namespace {

constexpr std::int64_t kSegmentFrames = 300; // 30 s
constexpr std::int64_t kOffsetSegments = 12;
constexpr std::int64_t kOffsetExclusion = 601; // second peak at least 60.1 s away
constexpr std::int64_t kSearchHalfWidth = 150; // drift searched within ±15 s
constexpr std::int64_t kDriftExclusion = 101;  // second peak at least 10.1 s away
constexpr double kAcceptBest = 0.4;
constexpr double kAcceptMargin = 0.35;

// The onset envelopes and reference prefix sums that both drift passes share.
struct DriftInputs {
    std::span<const float> trackEnvelope;
    std::vector<float> reference; // onset envelope
    std::vector<float> track;     // onset envelope
    PrefixSums sums;
    std::int64_t segmentLength = 0;
};

struct DriftPass {
    DriftAnalysis result;
    std::vector<DriftMeasurement> accepted;
};

// The kept anchors' drift at a time, interpolated linearly and held flat beyond the last.
std::int64_t driftFramesAt(std::span<const DriftMeasurement> kept, std::int64_t time) {
    for (std::size_t i = 1; i < kept.size(); ++i) {
        if (time > kept[i].timeFrames)
            continue;
        const DriftMeasurement& a = kept[i - 1];
        const DriftMeasurement& b = kept[i];
        if (b.timeFrames == a.timeFrames)
            return b.driftFrames;
        const double t = double(time - a.timeFrames) / double(b.timeFrames - a.timeFrames);
        return a.driftFrames + std::llround(t * double(b.driftFrames - a.driftFrames));
    }
    return kept.empty() ? 0 : kept.back().driftFrames;
}

// Drift measured against the start offset `lag` (frames): segments are searched around where
// that offset puts them, times count from the first track frame it makes overlap.
DriftPass measureDrift(const DriftInputs& in, std::int64_t lag, std::int64_t hop, double sampleRate,
                       const std::stop_token& stop) {
    const auto seconds = [&](std::int64_t frames) {
        return static_cast<double>(frames * hop) / sampleRate;
    };
    const auto R = static_cast<std::int64_t>(in.reference.size());
    const auto T = static_cast<std::int64_t>(in.track.size());
    const std::int64_t L = in.segmentLength;

    DriftPass pass;
    const std::int64_t trackStart = std::max<std::int64_t>(-lag, 0);
    // An offset that leaves no overlap at all counts as an overlap of 0, never a negative one.
    const std::int64_t overlap =
        std::max<std::int64_t>(std::min(T - trackStart, R - std::max<std::int64_t>(lag, 0)), 0);
    pass.result.alignedDurationSeconds = seconds(overlap);
    pass.result.points = {DriftPoint{}};
    if (L >= overlap)
        return pass;

    const auto starts = pickSegmentStarts(in.trackEnvelope, L,
                                          driftSegmentCount(pass.result.alignedDurationSeconds));
    for (const std::int64_t s : starts) {
        if (stop.stop_requested())
            break;
        if (s < trackStart || s + L > T)
            continue;
        const std::int64_t expected = s + lag;
        if (expected - kSearchHalfWidth < 0 || expected + kSearchHalfWidth + L > R)
            continue;
        const auto scan =
            scanSegment(in.reference, in.sums,
                        std::span<const float>(in.track).subspan(static_cast<std::size_t>(s),
                                                                 static_cast<std::size_t>(L)),
                        expected - kSearchHalfWidth, expected + kSearchHalfWidth, kDriftExclusion);
        if (!scan || scan->best < kAcceptBest || scan->margin < kAcceptMargin)
            continue;
        pass.accepted.push_back({s - trackStart, scan->bestPosition - expected});
    }

    const auto kept = keepContinuous(pass.accepted);
    const bool applicable = driftIsApplicable(kept, hop, sampleRate);
    pass.result.segmentsMeasured = static_cast<int>(pass.accepted.size());
    for (const DriftMeasurement& m : pass.accepted) {
        const std::int64_t applied = applicable ? driftFramesAt(kept, m.timeFrames) : 0;
        if (std::abs(m.driftFrames - applied) > kContinuityFrames)
            ++pass.result.segmentsDisagreeing;
    }
    if (!applicable)
        return pass;

    pass.result.points.clear();
    for (const DriftMeasurement& m : kept)
        pass.result.points.push_back({seconds(m.timeFrames), seconds(m.driftFrames)});
    pass.result.driftApplied = true;
    pass.result.longestUnanchoredSpanSeconds =
        longestUnanchoredSpan(pass.result.points, pass.result.alignedDurationSeconds);
    return pass;
}

} // namespace

std::int64_t SyncEngine::hopSamples() const {
    // Below 10 Hz (outside the supported range) a hop of 1 keeps every division defined.
    return std::max<std::int64_t>(static_cast<std::int64_t>(m_sampleRate / 10.0), 1);
}

std::int64_t SyncEngine::readChunkFrames() const {
    return std::max<std::int64_t>(static_cast<std::int64_t>(m_sampleRate * 10.0), 1);
}

OffsetResult SyncEngine::detectOffset(std::span<const float> reference,
                                      std::span<const float> track, std::stop_token stop) const {
    const std::int64_t hop = hopSamples();
    return detectOffsetFromEnvelopes(blockRMS(reference, hop), blockRMS(track, hop),
                                     std::move(stop));
}

DriftAnalysis SyncEngine::analyzeDrift(std::span<const float> reference,
                                       std::span<const float> track, std::int64_t offsetSamples,
                                       std::stop_token stop) const {
    const std::int64_t hop = hopSamples();
    return analyzeDriftFromEnvelopes(blockRMS(reference, hop), blockRMS(track, hop), offsetSamples,
                                     std::move(stop));
}

OffsetResult SyncEngine::detectOffsetFromEnvelopes(std::span<const float> referenceEnvelope,
                                                   std::span<const float> trackEnvelope,
                                                   std::stop_token stop) const {
    const std::int64_t hop = hopSamples();
    const std::vector<float> r = onsetEnvelope(referenceEnvelope);
    const std::vector<float> t = onsetEnvelope(trackEnvelope);
    const auto R = static_cast<std::int64_t>(r.size());
    const auto T = static_cast<std::int64_t>(t.size());
    const std::int64_t L = std::min(T, kSegmentFrames);
    if (T == 0 || R < L)
        return {};

    const PrefixSums sums = prefixSums(r);
    std::vector<OffsetCandidate> candidates;
    for (const std::int64_t s : pickSegmentStarts(trackEnvelope, L, kOffsetSegments)) {
        if (stop.stop_requested())
            break;
        if (s + L > T)
            continue;
        const auto segment = std::span<const float>(t).subspan(static_cast<std::size_t>(s),
                                                               static_cast<std::size_t>(L));
        if (const auto scan = scanSegment(r, sums, segment, 0, R - L, kOffsetExclusion))
            candidates.push_back({scan->bestPosition - s, scan->best, scan->margin});
    }

    const CombinedOffset combined = combineCandidates(candidates);
    OffsetResult result;
    result.offsetSamples = combined.lagFrames * hop;
    result.offsetSeconds = static_cast<double>(result.offsetSamples) / m_sampleRate;
    result.confidence = combined.confidence;
    result.bestScore = combined.confidence;
    result.margin = combined.margin;
    result.confidenceBand = combined.band;
    result.crossCheckAgrees = combined.count > 1;
    return result;
}

DriftAnalysis SyncEngine::analyzeDriftFromEnvelopes(std::span<const float> referenceEnvelope,
                                                    std::span<const float> trackEnvelope,
                                                    std::int64_t offsetSamples,
                                                    std::stop_token stop) const {
    const std::int64_t hop = hopSamples();
    DriftInputs in;
    in.trackEnvelope = trackEnvelope;
    in.reference = onsetEnvelope(referenceEnvelope);
    in.track = onsetEnvelope(trackEnvelope);
    const auto R = static_cast<std::int64_t>(in.reference.size());
    const auto T = static_cast<std::int64_t>(in.track.size());
    in.segmentLength = std::min(T, kSegmentFrames);
    if (T == 0 || R < in.segmentLength)
        return {};
    in.sums = prefixSums(in.reference);

    const std::int64_t lag = offsetSamples / hop;
    DriftPass measured = measureDrift(in, lag, hop, m_sampleRate, stop);
    if (stop.stop_requested())
        return std::move(measured.result);

    // The start offset is a weighted mean of lags taken all along the track, so on a drifting
    // track it sits about half the total drift away from the true start, and drift measured
    // against it covers only half the real drift. Move the start to the drift the measurements
    // show at time 0 and measure again around it; keep that only when it is a drift to correct
    // under the same rules. Otherwise (no drift, or too little to correct) the mean offset is
    // the better centre for an uncorrected file, and the first result stands unchanged.
    const std::int64_t startFrames = startDriftFrames(measured.accepted);
    if (startFrames == 0)
        return std::move(measured.result);
    // The second pass takes trackStart, the overlap and so alignedDurationSeconds from the
    // corrected lag: the run writes offsetSamples + startCorrectionSamples, and the points'
    // times and the aligned region must be those of the file written with that offset.
    DriftPass corrected = measureDrift(in, lag + startFrames, hop, m_sampleRate, stop);
    if (!corrected.result.driftApplied)
        return std::move(measured.result);
    corrected.result.startCorrectionSamples = startFrames * hop;
    return std::move(corrected.result);
}

namespace {

constexpr double kStereoBlockSeconds = 0.1;
constexpr double kStereoLowHz = 200.0;
constexpr double kStereoHighHz = 4000.0;

double pearson(std::span<const double> a, std::span<const double> b) {
    const auto n = double(a.size());
    double ma = 0.0, mb = 0.0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        ma += a[i];
        mb += b[i];
    }
    ma /= n;
    mb /= n;
    double ab = 0.0, aa = 0.0, bb = 0.0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        ab += (a[i] - ma) * (b[i] - mb);
        aa += (a[i] - ma) * (a[i] - ma);
        bb += (b[i] - mb) * (b[i] - mb);
    }
    return aa > 0.0 && bb > 0.0 ? ab / std::sqrt(aa * bb) : 0.0;
}

} // namespace

ChannelRelation relateChannels(std::span<const float> left, std::span<const float> right,
                               double sampleRate) {
    const std::size_t n = std::min(left.size(), right.size());
    const auto maxLag = static_cast<std::size_t>(std::ceil(kStereoMaxLagSeconds * sampleRate));
    const auto hop =
        std::max<std::size_t>(1, std::size_t(std::lround(kStereoBlockSeconds * sampleRate)));
    // Room for the lags on either side keeps the blocks' circular correlation linear there.
    const Fft fft(hop + maxLag + 1);
    const std::size_t size = fft.size();
    std::vector<float> weights(size / 2 + 1);
    const double high = std::min(kStereoHighHz, 0.45 * sampleRate);
    for (std::size_t k = 0; k < weights.size(); ++k)
        weights[k] = float(bandWeight(double(k) * sampleRate / double(size), kStereoLowHz, high));

    std::vector<std::complex<float>> block(size), cross(size);
    std::vector<double> leftLevels, rightLevels;
    double leftEnergy = 0.0, rightEnergy = 0.0;
    for (std::size_t start = 0; start < n; start += hop) {
        const std::size_t count = std::min(hop, n - start);
        // Both real channels in one transform: left as the real part, right as the imaginary.
        std::fill(block.begin(), block.end(), std::complex<float>{});
        for (std::size_t i = 0; i < count; ++i)
            block[i] = {left[start + i], right[start + i]};
        fft.forward(block);
        double le = 0.0, re = 0.0;
        for (std::size_t k = 0; k <= size / 2; ++k) {
            const std::complex<float> z = block[k];
            const std::complex<float> zc = std::conj(block[(size - k) % size]);
            const std::complex<float> l = 0.5f * (z + zc);
            const std::complex<float> r = std::complex<float>(0.0f, -0.5f) * (z - zc);
            const float w = weights[k];
            const std::complex<float> c = w * std::conj(l) * r;
            cross[k] += c;
            if (k != 0 && k != size / 2)
                cross[size - k] += std::conj(c);
            const double twice = (k != 0 && k != size / 2) ? 2.0 : 1.0;
            le += twice * w * std::norm(l);
            re += twice * w * std::norm(r);
        }
        leftEnergy += le;
        rightEnergy += re;
        leftLevels.push_back(std::sqrt(le));
        rightLevels.push_back(std::sqrt(re));
    }
    ChannelRelation relation;
    relation.blocks = std::int64_t(leftLevels.size());
    if (leftEnergy <= 0.0 || rightEnergy <= 0.0)
        return relation;
    fft.inverse(cross);
    // The unscaled inverse and Parseval scale the sums and the energies alike by size.
    const double norm = std::sqrt(leftEnergy * rightEnergy);
    for (std::size_t m = 0; m <= maxLag; ++m) {
        for (const std::size_t at : {m, (size - m) % size}) {
            const double c = std::abs(double(cross[at].real())) / norm;
            if (c > relation.peakCorrelation) {
                relation.peakCorrelation = c;
                const double lag = at == m ? double(m) : -double(m);
                relation.peakLagSeconds = lag / sampleRate;
            }
        }
    }
    relation.envelopeCorrelation = pearson(leftLevels, rightLevels);
    return relation;
}

StereoAnalysis stereoVerdict(std::span<const float> left, std::span<const float> right,
                             double sampleRate) {
    const std::size_t n = std::min(left.size(), right.size());
    if (n == 0)
        return StereoAnalysis::monoOrIdentical();
    const float leftSquares = vec::sumOfSquares(left.data(), n);
    const float rightSquares = vec::sumOfSquares(right.data(), n);
    const auto count = static_cast<float>(n);
    constexpr float signalLimit = 0.01f; // about -40 dBFS
    const bool leftSignal = std::sqrt(leftSquares / count) >= signalLimit;
    const bool rightSignal = std::sqrt(rightSquares / count) >= signalLimit;
    if (leftSignal != rightSignal)
        return StereoAnalysis::singleChannelOf(leftSignal ? 0 : 1);
    if (!leftSignal)
        return StereoAnalysis::monoOrIdentical();
    if (leftSquares <= 0.0f || rightSquares <= 0.0f)
        return StereoAnalysis::monoOrIdentical();
    const float cross = vec::dotProduct(left.data(), right.data(), n);
    const float c = std::abs(cross / std::sqrt(leftSquares * rightSquares));
    if (c >= 0.98f)
        return StereoAnalysis::monoOrIdentical();
    const ChannelRelation relation = relateChannels(left.first(n), right.first(n), sampleRate);
    const bool oneVoice = relation.blocks >= kStereoMinBlocks &&
                          relation.peakCorrelation >= kOneVoicePeak &&
                          relation.envelopeCorrelation >= kOneVoiceEnvelope;
    return oneVoice ? StereoAnalysis::monoOrIdentical() : StereoAnalysis::split();
}

} // namespace corvale
