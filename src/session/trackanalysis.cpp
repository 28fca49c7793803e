// SPDX-License-Identifier: GPL-3.0-or-later
#include "trackanalysis.h"

#include "audio/audiooutputwriter.h"
#include "audio/samplereader.h"
#include "audio/windowreader.h"

#include <algorithm>
#include <cmath>

namespace corvale {
namespace {

constexpr double kWindowSeconds = 3.0;
constexpr double kSecondsPerWindow = 55.0;
constexpr std::int64_t kMinimumWindows = 6;
constexpr double kRadiusWithDrift = 0.5;
constexpr double kRadiusWithoutDrift = 1.45;
constexpr int kBreakSteps = 12;
constexpr double kQuerySeconds = 8.0;
constexpr double kPlacementAgreementSeconds = 0.002;
constexpr double kWarpSlope = 150e-6; // below this a clock smears the peak by under 1.2 ms

// The quiet place nearest the middle of [from, to) (track samples), or the middle itself.
std::int64_t quietPlaceBetween(double from, double to, const std::vector<bool>& quietMap,
                               std::int64_t window) {
    const auto middle = std::int64_t(std::llround(0.5 * (from + to)));
    const std::int64_t first = std::max<std::int64_t>(std::int64_t(std::ceil(from)) / window, 0);
    const std::int64_t last =
        std::min<std::int64_t>(std::int64_t(to) / window, std::int64_t(quietMap.size())) - 1;
    std::int64_t best = -1;
    for (std::int64_t k = first; k <= last; ++k) {
        if (quietMap[std::size_t(k)] &&
            (best < 0 || std::abs(k * window - middle) < std::abs(best * window - middle)))
            best = k;
    }
    return best < 0 ? middle : best * window;
}

// The segment of a non-empty fit that holds track sample t.
const ClockSegment& segmentAt(const ClockFit& fit, double t) {
    std::size_t k = 0;
    while (k + 1 < fit.segments.size() && double(fit.segments[k + 1].firstTrackSample) <= t)
        ++k;
    return fit.segments[k];
}

double fitLagAt(const ClockFit& fit, double t) {
    return segmentAt(fit, t).lagAt(t);
}

bool confident(const std::optional<FineAlignment>& fine) {
    return fine && fine->fit.confident;
}

} // namespace

Result<std::vector<float>> loadReferenceEnvelope(const SyncEngine& engine, const QString& wav,
                                                 bool stereo, std::stop_token stop) {
    StereoAnalysis verdict = StereoAnalysis::monoOrIdentical();
    if (stereo) {
        // A failed check is taken as "use the left channel", as for tracks.
        if (auto checked = analyzeStereo(engine, wav))
            verdict = checked.value();
    }
    Result<TrackEnvelope> loaded = verdict.kind == StereoAnalysis::Kind::split
                                       ? loadEnvelopeOfSum(engine, wav, stop)
                                       : loadEnvelope(engine, wav, verdict.analysisChannel(), stop);
    if (!loaded)
        return loaded.error();
    return std::move(loaded.value().envelope);
}

OffsetResult withStartCorrection(const SyncEngine& engine, OffsetResult offset,
                                 const DriftAnalysis& drift) {
    if (drift.startCorrectionSamples != 0) {
        offset.offsetSamples += drift.startCorrectionSamples;
        offset.offsetSeconds = double(offset.offsetSamples) / engine.sampleRate();
    }
    return offset;
}

Result<std::optional<FineAlignment>>
fineAlignTrack(const SyncEngine& engine, const QString& wav, std::int64_t channel,
               const FineReference& reference, const std::vector<float>& trackEnvelope,
               const OffsetResult& offset, const DriftAnalysis& drift,
               const std::vector<bool>& quietMap, std::stop_token stop) {
    const double rate = engine.sampleRate();
    const std::int64_t hop = engine.hopSamples();
    const auto window = std::int64_t(std::llround(kWindowSeconds * rate));
    const auto radius = std::int64_t(
        std::llround((drift.driftApplied ? kRadiusWithDrift : kRadiusWithoutDrift) * rate));
    const std::int64_t windowFrames = window / hop;

    WindowReader::Mix referenceMix = WindowReader::Mix::channel;
    if (reference.stereo) {
        if (auto checked = analyzeStereo(engine, reference.wav);
            checked && checked.value().kind == StereoAnalysis::Kind::split)
            referenceMix = WindowReader::Mix::sumOfFirstTwo;
    }
    WindowReader referenceReader;
    if (auto r = referenceReader.open(reference.wav, referenceMix, 0, window + 2 * radius); !r)
        return r.error();
    // A window put on the reference's clock reads a little beyond its ends (at most 2000 ppm).
    const std::int64_t warpMargin = window / 500 + 8;
    WindowReader trackReader;
    if (auto r =
            trackReader.open(wav, WindowReader::Mix::channel, channel, window + 2 * warpMargin);
        !r)
        return r.error();
    const std::int64_t referenceFrames = referenceReader.frames();

    // Track frames whose window and search range lie inside the reference, by the start offset.
    const std::int64_t lag = offset.offsetSamples;
    const std::int64_t firstFrame = std::max<std::int64_t>(0, (radius - lag + hop - 1) / hop);
    // The windows are counted over the part of the track on the reference, not the reference.
    const std::int64_t endFrame =
        std::min<std::int64_t>((referenceFrames - radius - lag) / hop, std::ssize(trackEnvelope));
    const double alignedSeconds =
        double(std::max<std::int64_t>(endFrame - firstFrame, 0) * hop) / rate;
    const std::int64_t count =
        std::max(kMinimumWindows, std::int64_t(std::ceil(alignedSeconds / kSecondsPerWindow)));
    const std::vector<std::int64_t> starts =
        pickFineWindows(trackEnvelope, firstFrame, endFrame, windowFrames, count);
    if (starts.size() < 2)
        return std::optional<FineAlignment>{};

    LagMeter meter(rate);
    // Measures the track window starting at trackStart within `within` of predictedLag. With a
    // slope, the window is first resampled onto the reference's clock around its centre, so
    // that the lag is the same all through it and is measured for the centre.
    const auto measureAt = [&](std::int64_t trackStart, double predictedLag, std::int64_t within,
                               double slope = 0.0) -> Result<std::optional<LagMeasurement>> {
        std::int64_t from = trackStart + std::llround(predictedLag) - within;
        std::int64_t to = from + window + 2 * within;
        from = std::max<std::int64_t>(from, 0);
        to = std::min(to, referenceFrames);
        if (to - from < window)
            return std::optional<LagMeasurement>{};
        auto ref = referenceReader.read(from, to - from);
        if (!ref)
            return ref.error();
        if (slope == 0.0) {
            auto trk = trackReader.read(trackStart, window);
            if (!trk)
                return trk.error();
            return meter.measure(ref.value(), from, trk.value(), trackStart);
        }
        auto trk = trackReader.read(trackStart - warpMargin, window + 2 * warpMargin);
        if (!trk)
            return trk.error();
        const double step = 1.0 / (1.0 + slope);
        const std::vector<float> warped =
            warpWindow(trk.value(), double(warpMargin + window / 2) - double(window / 2) * step,
                       step, std::size_t(window));
        auto m = meter.measure(ref.value(), from, warped, trackStart);
        if (m)
            m->trackSample = double(trackStart + window / 2);
        return m;
    };

    std::vector<LagMeasurement> measured;
    double loudest = -1.0;
    FineAlignment fine;
    fine.sampleRate = rate;
    for (const std::int64_t s : starts) {
        if (stop.stop_requested())
            return CorvaleError::cancelled();
        const std::int64_t trackStart = s * hop;
        const double centre = double(trackStart) + 0.5 * double(window);
        const double predicted = coarseLagAt(offset, drift, rate, centre);
        auto m = measureAt(trackStart, predicted, radius);
        if (!m)
            return m.error();
        if (m.value())
            measured.push_back(*m.value());
        double loudness = 0.0;
        for (std::int64_t f = s; f < s + windowFrames && f < std::int64_t(trackEnvelope.size());
             ++f)
            loudness += trackEnvelope[std::size_t(f)];
        if (loudness > loudest) {
            loudest = loudness;
            fine.listenAtSeconds = std::max(0.0, (centre + predicted) / rate);
        }
    }
    const double tolerance = agreementTolerance(rate);
    const double sideSpan = 2.0 * double(window);
    fine.fit = fitClock(measured, tolerance, sideSpan);

    // A clock that drifts by a sample or more across one window smears its correlation peak;
    // measured again on the reference's clock, each window gives the lag at its centre.
    if (!fine.fit.segments.empty() && fine.fit.windowsAgreeing >= 3 &&
        std::abs(fine.fit.segments.front().slope) * double(window) >= 1.0) {
        std::vector<LagMeasurement> again;
        for (const std::int64_t s : starts) {
            if (stop.stop_requested())
                return CorvaleError::cancelled();
            const std::int64_t trackStart = s * hop;
            const double centre = double(trackStart + window / 2);
            auto m = measureAt(trackStart, coarseLagAt(offset, drift, rate, centre), radius,
                               segmentAt(fine.fit, centre).slope);
            if (!m)
                return m.error();
            if (m.value())
                again.push_back(*m.value());
        }
        fine.fit = fitClock(again, tolerance, sideSpan);
    }

    // Narrow a break down by measuring halfway between its sides until it lies within about
    // one window, then put it at the quiet place nearest the middle of what is left.
    if (fine.fit.confident && fine.fit.breakBetween) {
        auto [from, to] = *fine.fit.breakBetween;
        const ClockSegment before = fine.fit.segments[0];
        const ClockSegment after = fine.fit.segments[1];
        for (int step = 0; step < kBreakSteps && to - from > double(window); ++step) {
            if (stop.stop_requested())
                return CorvaleError::cancelled();
            const double middle = 0.5 * (from + to);
            const double lagBefore = before.lagAt(middle);
            const double lagAfter = after.lagAt(middle);
            const auto within = std::int64_t(std::ceil(0.5 * std::abs(lagAfter - lagBefore))) +
                                std::int64_t(std::llround(0.05 * rate));
            const auto trackStart = std::int64_t(std::llround(middle)) - window / 2;
            auto m = measureAt(trackStart, 0.5 * (lagBefore + lagAfter), within);
            if (!m)
                return m.error();
            const auto side =
                m.value() ? segmentAgreeing(fine.fit, *m.value(), tolerance) : std::optional<int>{};
            if (!side)
                break;
            (*side == 0 ? from : to) = middle;
        }
        fine.fit.breakBetween = std::make_pair(from, to);
        const AudioOutputWriter writer;
        fine.fit.segments[1].firstTrackSample =
            quietPlaceBetween(from, to, quietMap, writer.silenceWindowSamples);
    }
    return std::optional<FineAlignment>{std::move(fine)};
}

namespace {

// The whole-reference search for a file the envelopes place weakly; moves result to the place
// found when the fine stage agrees there.
Result<WaveformPlacement> placeByWaveform(const SyncEngine& engine, const QString& wav,
                                          const FineReference& reference,
                                          const std::vector<float>& referenceEnvelope,
                                          const std::vector<float>& envelope,
                                          TrackAnalysisResult& result, std::stop_token stop) {
    const double rate = engine.sampleRate();
    const std::int64_t hop = engine.hopSamples();
    const std::int64_t channel = result.stereo.analysisChannel();
    WaveformPlacement placement;
    placement.sampleRate = rate;

    // The loudest seconds carry the most of the voice, whatever else the reference holds.
    const auto queryFrames = std::int64_t(kQuerySeconds * rate) / hop;
    const auto frames = std::int64_t(envelope.size());
    std::int64_t queryStart = 0;
    std::int64_t queryLength = result.frameCount;
    if (frames > queryFrames) {
        const auto starts = pickFineWindows(envelope, 0, frames, queryFrames, 1);
        queryStart = starts.empty() ? 0 : starts.front() * hop;
        queryLength = queryFrames * hop;
    }
    const double centre = double(queryStart) + 0.5 * double(queryLength);
    placement.queryStartSeconds = double(queryStart) / rate;
    const auto listenAt = [&](double lag) { return std::max(0.0, (centre + lag) / rate); };
    placement.listenAtSeconds =
        listenAt(confident(result.fine) ? fitLagAt(result.fine->fit, centre)
                                        : coarseLagAt(result.offset, result.drift, rate, centre));

    std::shared_ptr<WaveformReference> shared = reference.waveform;
    if (!shared)
        shared = std::make_shared<WaveformReference>(reference.wav, reference.stereo);
    auto searchReference = shared->get(engine, stop);
    if (!searchReference)
        return searchReference.error();
    WindowReader reader;
    if (auto opened = reader.open(wav, WindowReader::Mix::channel, channel, queryLength); !opened)
        return opened.error();
    auto query = reader.read(queryStart, queryLength);
    if (!query)
        return query.error();
    placement.match = searchWaveform(*searchReference.value(), query.value(), queryStart, stop);
    // A fast or slow clock smears the peak over the searched seconds (a millisecond per 125 ppm
    // over 8 s). When the fine stage measured such a clock, search once more on the
    // reference's clock, warped around the middle so that the lag found is the middle's, and
    // keep the clearer of the two.
    const double slope = confident(result.fine) ? segmentAt(result.fine->fit, centre).slope : 0.0;
    if (std::abs(slope) >= kWarpSlope && !stop.stop_requested()) {
        const std::size_t n = query.value().size();
        const double middle = 0.5 * double(n);
        const double step = 1.0 / (1.0 + slope);
        const std::vector<float> warped =
            warpWindow(query.value(), middle - middle * step, step, n);
        const auto again = searchWaveform(*searchReference.value(), warped, queryStart, stop);
        if (again && (!placement.match || again->margin() > placement.match->margin()))
            placement.match = again;
    }
    if (stop.stop_requested())
        return CorvaleError::cancelled();
    if (!placement.match || placement.match->margin() < kPlacementMargin)
        return placement;

    const double found = placement.match->lagSamples;
    const double agreement = kPlacementAgreementSeconds * rate;
    if (confident(result.fine) &&
        std::abs(fitLagAt(result.fine->fit, centre) - found) <= agreement) {
        placement.verdict = WaveformPlacement::Verdict::confirmed;
        result.offset.confidenceBand = ConfidenceBand::high;
        return placement;
    }

    // The fine stage, run again where the search points, must find the same place.
    OffsetResult offset = result.offset;
    offset.offsetSamples = std::llround(found / double(hop)) * hop;
    offset.offsetSeconds = double(offset.offsetSamples) / rate;
    const DriftAnalysis drift =
        engine.analyzeDriftFromEnvelopes(referenceEnvelope, envelope, offset.offsetSamples, stop);
    offset = withStartCorrection(engine, offset, drift);
    auto fine = fineAlignTrack(engine, wav, channel, reference, envelope, offset, drift,
                               *result.quietMap, stop);
    if (!fine)
        return fine.error();
    if (!confident(fine.value()) ||
        std::abs(fitLagAt(fine.value()->fit, centre) - found) > agreement)
        return placement;
    offset.confidenceBand = ConfidenceBand::high;
    result.offset = offset;
    result.drift = drift;
    result.fine = std::move(fine.value());
    placement.verdict = WaveformPlacement::Verdict::placed;
    placement.listenAtSeconds = listenAt(found);
    return placement;
}

} // namespace

Result<TrackAnalysisResult> analyzeTrack(const SyncEngine& engine, const QString& wav, bool stereo,
                                         const std::vector<float>& referenceEnvelope,
                                         std::stop_token stop,
                                         const std::optional<FineReference>& fineReference) {
    TrackAnalysisResult result;
    if (stereo) {
        if (auto checked = analyzeStereo(engine, wav))
            result.stereo = checked.value();
    }
    auto loaded = loadEnvelope(engine, wav, result.stereo.analysisChannel(), stop,
                               AudioOutputWriter().quietMapSettings());
    if (!loaded)
        return loaded.error();
    const std::vector<float>& envelope = loaded.value().envelope;
    result.frameCount = loaded.value().frameCount;
    result.quietMap = std::make_shared<const std::vector<bool>>(std::move(loaded.value().quietMap));
    const OffsetResult offset = engine.detectOffsetFromEnvelopes(referenceEnvelope, envelope, stop);
    result.drift =
        engine.analyzeDriftFromEnvelopes(referenceEnvelope, envelope, offset.offsetSamples, stop);
    if (stop.stop_requested())
        return CorvaleError::cancelled();
    result.offset = withStartCorrection(engine, offset, result.drift);
    if (fineReference) {
        auto fine = fineAlignTrack(engine, wav, result.stereo.analysisChannel(), *fineReference,
                                   envelope, result.offset, result.drift, *result.quietMap, stop);
        if (!fine)
            return fine.error();
        result.fine = std::move(fine.value());
        const bool strong = result.offset.confidenceBand == ConfidenceBand::high &&
                            result.offset.crossCheckAgrees && confident(result.fine);
        if (!strong || double(result.frameCount) < kLongFileSeconds * engine.sampleRate()) {
            auto placement = placeByWaveform(engine, wav, *fineReference, referenceEnvelope,
                                             envelope, result, stop);
            if (!placement)
                return placement.error();
            result.placement = std::move(placement.value());
        }
    }
    return result;
}

} // namespace corvale
