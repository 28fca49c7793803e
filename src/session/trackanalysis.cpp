// SPDX-License-Identifier: GPL-3.0-or-later
#include "trackanalysis.h"

#include "audio/audiooutputwriter.h"
#include "audio/samplereader.h"
#include "audio/windowreader.h"
#include "sync/bandlimit.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <thread>

namespace corvale {
namespace {

constexpr double kWindowSeconds = 3.0;
constexpr double kSecondsPerWindow = 55.0;
constexpr std::int64_t kMinimumWindows = 6;
constexpr double kRadiusWithDrift = 0.5;
constexpr double kRadiusWithoutDrift = 1.45;
constexpr double kQuerySeconds = 8.0;
constexpr double kPlacementAgreementSeconds = 0.002;
// The search's lag is good to about a sample of its 4–5 kHz rate; the query is measured again
// at the full rate within this of it.
constexpr double kRefineSeconds = 0.01;
constexpr double kWarpSlope = 150e-6; // below this a clock smears the peak by under 1.2 ms
// A line through windows spanning less than this takes its neighbour's slope.
constexpr double kFreeSlopeSeconds = 30.0;
// Windows the fine stage may add where neighbours disagree: at least this many, at most half
// as many again as it started with.
constexpr std::size_t kMinimumAddedWindows = 12;
// The fastest or slowest clock considered: a window not yet on the track's clock smears its
// lag by up to half of this times its length, which the first fit allows for.
constexpr double kFastestClock = 2e-3;

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

// The reference as the fine stage reads it: a stereo reference of two voices as their sum.
WindowReader::Mix referenceMix(const SyncEngine& engine, const FineReference& reference) {
    if (reference.stereo) {
        if (auto checked = analyzeStereo(engine, reference.wav);
            checked && checked.value().kind == StereoAnalysis::Kind::split)
            return WindowReader::Mix::sumOfFirstTwo;
    }
    return WindowReader::Mix::channel;
}

double fitLagAt(const ClockFit& fit, double t) {
    return segmentAt(fit, t).lagAt(t);
}

bool confident(const std::optional<FineAlignment>& fine) {
    return fine && fine->fit.confident;
}

bool usable(const std::optional<FineAlignment>& fine) {
    return fine && fine->fit.usable;
}

// The track sample in [from, to) where the lag changes from before's to after's: the split
// that best matches the track with the reference on each side, sample by sample (first
// differences, so that rumble and hum count for little). None when the range holds nothing.
Result<std::optional<std::int64_t>> locateStep(const QString& wav, std::int64_t channel,
                                               const QString& referenceWav,
                                               WindowReader::Mix referenceMix,
                                               const ClockSegment& before,
                                               const ClockSegment& after, double from, double to) {
    const auto first = std::max<std::int64_t>(std::int64_t(std::floor(from)), 1);
    const auto count = std::int64_t(std::ceil(to)) - first;
    if (count < 2)
        return std::optional<std::int64_t>{};
    const double lags[] = {before.lagAt(double(first)), after.lagAt(double(first)),
                           before.lagAt(double(first + count)), after.lagAt(double(first + count))};
    const auto lowest =
        std::int64_t(std::floor(*std::min_element(std::begin(lags), std::end(lags))));
    const auto highest =
        std::int64_t(std::ceil(*std::max_element(std::begin(lags), std::end(lags))));
    const std::int64_t referenceFirst = first + lowest - 2;
    const std::int64_t referenceCount = count + (highest - lowest) + 4;
    WindowReader trackReader;
    if (auto r = trackReader.open(wav, WindowReader::Mix::channel, channel, count + 1); !r)
        return r.error();
    auto trk = trackReader.read(first - 1, count + 1);
    if (!trk)
        return trk.error();
    const std::vector<float> track(trk.value().begin(), trk.value().end());
    WindowReader referenceReader;
    if (auto r = referenceReader.open(referenceWav, referenceMix, 0, referenceCount); !r)
        return r.error();
    auto ref = referenceReader.read(referenceFirst, referenceCount);
    if (!ref)
        return ref.error();
    const std::span<const float> reference = ref.value();
    // Read between samples: at a whole sample off, first differences of room noise no longer
    // match, and the pauses would pull the split away from its place.
    const auto differenceAt = [&](std::int64_t t, const ClockSegment& c) {
        const double x = double(t - referenceFirst) + c.lagAt(double(t));
        const auto k = std::int64_t(std::floor(x));
        if (k < 1 || k + 1 >= std::ssize(reference))
            return 0.0;
        const double u = x - double(k);
        const auto d = [&](std::int64_t j) {
            return double(reference[std::size_t(j)]) - double(reference[std::size_t(j - 1)]);
        };
        return (1.0 - u) * d(k) + u * d(k + 1);
    };
    double sum = 0.0;
    double best = 0.0;
    std::int64_t bestAt = first;
    double energy = 0.0;
    for (std::int64_t i = 0; i < count; ++i) {
        const std::int64_t t = first + i;
        const double x = double(track[std::size_t(i + 1)]) - double(track[std::size_t(i)]);
        energy += x * x;
        const double b = differenceAt(t, before);
        const double a = differenceAt(t, after);
        // Every sample one vote, however faint: a pause's room noise places a break as well
        // as speech does.
        const double scale = std::abs(x) * (std::abs(a) + std::abs(b));
        if (scale > 0.0)
            sum += x * (b - a) / scale;
        if (sum > best) {
            best = sum;
            bestAt = t + 1;
        }
    }
    if (!(energy > 0.0))
        return std::optional<std::int64_t>{};
    return std::optional<std::int64_t>{bestAt};
}

// What measuring a window needs of its own: readers at their own positions and a meter.
struct WindowProbe {
    explicit WindowProbe(double rate) : meter(rate) {}
    WindowReader reference;
    WindowReader track;
    LagMeter meter;
};

// Windows from this many on are measured on two threads, half each, so that the last file's
// analysis does not hold one core while the other waits; the measurements are the same.
constexpr std::size_t kWindowsForTwoThreads = 8;

using Measured = Result<std::optional<LagMeasurement>>;

// measure(probe, i) for every i below count, in order; the first failure (by index) or a cancel
// ends it.
template <typename Measure>
Result<std::vector<std::optional<LagMeasurement>>>
measureEach(std::array<WindowProbe, 2>& probes, std::size_t count, const std::stop_token& stop,
            Measure&& measure) {
    std::vector<std::optional<LagMeasurement>> out(count);
    std::vector<std::optional<CorvaleError>> errors(2);
    std::atomic<bool> failed = false;
    const auto run = [&](std::size_t half, std::size_t from, std::size_t to) {
        for (std::size_t i = from; i < to && !failed; ++i) {
            Measured m = stop.stop_requested() ? Measured(CorvaleError::cancelled())
                                               : measure(probes[half], i);
            if (!m) {
                errors[half] = m.error();
                failed = true;
                return;
            }
            out[i] = m.value();
        }
    };
    if (count < kWindowsForTwoThreads) {
        run(0, 0, count);
    } else {
        std::thread second(run, 1, count / 2, count);
        run(0, 0, count / 2);
        second.join();
    }
    for (const auto& error : errors) {
        if (error)
            return *error;
    }
    return out;
}

} // namespace

Result<PreparedReference> prepareReference(const SyncEngine& engine, const QString& wav,
                                           bool stereo, bool withSearch, std::stop_token stop) {
    if (stereo || !withSearch) {
        auto envelope = loadReferenceEnvelope(engine, wav, stereo, stop);
        if (!envelope)
            return envelope.error();
        return PreparedReference{std::move(envelope.value()), nullptr};
    }
    auto search = std::make_shared<SearchReference>(searchReferenceFor(engine.sampleRate()));
    // Reserved from the header: growing by doubling could hold twice an hour's copy at once.
    if (WindowReader header; header.open(wav, WindowReader::Mix::channel, 0, 1))
        search->samples.reserve(std::size_t(header.frames() / search->factor + 1));
    Decimator decimator(search->factor, search->presum);
    auto loaded =
        loadEnvelope(engine, wav, 0, stop, std::nullopt,
                     [&](std::span<const float> slice) { decimator.push(slice, search->samples); });
    if (!loaded)
        return loaded.error();
    decimator.finish(search->samples);
    return PreparedReference{std::move(loaded.value().envelope), std::move(search)};
}

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

    const WindowReader::Mix referenceMix = corvale::referenceMix(engine, reference);
    // A window put on the reference's clock reads a little beyond its ends (at most 2000 ppm).
    const std::int64_t warpMargin = window / 500 + 8;
    // The windows are measured independently, each probe (readers and meter) on a thread.
    std::array<WindowProbe, 2> probes{WindowProbe(rate), WindowProbe(rate)};
    for (WindowProbe& probe : probes) {
        if (auto r = probe.reference.open(reference.wav, referenceMix, 0, window + 2 * radius); !r)
            return r.error();
        if (auto r =
                probe.track.open(wav, WindowReader::Mix::channel, channel, window + 2 * warpMargin);
            !r)
            return r.error();
    }
    const std::int64_t referenceFrames = probes[0].reference.frames();

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

    // Measures the track window starting at trackStart within `within` of predictedLag. With a
    // slope, the window is first resampled onto the reference's clock around its centre, so
    // that the lag is the same all through it and is measured for the centre.
    const auto measureAt = [&](WindowProbe& probe, std::int64_t trackStart, double predictedLag,
                               std::int64_t within,
                               double slope) -> Result<std::optional<LagMeasurement>> {
        WindowReader& referenceReader = probe.reference;
        WindowReader& trackReader = probe.track;
        LagMeter& meter = probe.meter;
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

    // Each window by its start; its measurement when it gave one.
    std::vector<std::pair<std::int64_t, std::optional<LagMeasurement>>> windows;
    const auto measurements = [&windows] {
        std::vector<LagMeasurement> out;
        for (const auto& w : windows) {
            if (w.second)
                out.push_back(*w.second);
        }
        return out;
    };
    double loudest = -1.0;
    FineAlignment fine;
    fine.sampleRate = rate;
    auto first = measureEach(probes, starts.size(), stop, [&](WindowProbe& probe, std::size_t i) {
        const std::int64_t trackStart = starts[i] * hop;
        const double centre = double(trackStart) + 0.5 * double(window);
        return measureAt(probe, trackStart, coarseLagAt(offset, drift, rate, centre), radius, 0.0);
    });
    if (!first)
        return first.error();
    for (std::size_t i = 0; i < starts.size(); ++i) {
        const std::int64_t s = starts[i];
        const std::int64_t trackStart = s * hop;
        const double centre = double(trackStart) + 0.5 * double(window);
        const double predicted = coarseLagAt(offset, drift, rate, centre);
        windows.emplace_back(trackStart, first.value()[i]);
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
    const double slopeSpan = kFreeSlopeSeconds * rate;
    const auto refit = [&] { fine.fit = fitClock(measurements(), tolerance, sideSpan, slopeSpan); };
    // The first fit only has to find the lines, through windows not yet on the track's clock.
    fine.fit = fitClock(measurements(), tolerance + 0.5 * kFastestClock * double(window), sideSpan,
                        slopeSpan);

    // Measures the window at trackStart on the fitted clock where it has one.
    const auto measureWindow =
        [&](WindowProbe& probe, std::int64_t trackStart) -> Result<std::optional<LagMeasurement>> {
        const double centre = double(trackStart + window / 2);
        const double slope =
            fine.fit.usable && std::abs(segmentAt(fine.fit, centre).slope) * double(window) >= 1.0
                ? segmentAt(fine.fit, centre).slope
                : 0.0;
        return measureAt(probe, trackStart, coarseLagAt(offset, drift, rate, centre), radius,
                         slope);
    };

    // A clock that drifts by a sample or more across one window smears its correlation peak;
    // measured again on the reference's clock, each window gives the lag at its centre.
    if (fine.fit.usable &&
        std::any_of(fine.fit.segments.begin(), fine.fit.segments.end(), [&](const ClockSegment& c) {
            return std::abs(c.slope) * double(window) >= 1.0;
        })) {
        auto again =
            measureEach(probes, windows.size(), stop, [&](WindowProbe& probe, std::size_t i) {
                return measureWindow(probe, windows[i].first);
            });
        if (!again)
            return again.error();
        for (std::size_t i = 0; i < windows.size(); ++i)
            windows[i].second = again.value()[i];
    }
    refit();

    // Where neighbouring windows disagree (a break between them, or a window the fit does
    // not explain), measure between them until every step is seen from both sides.
    const auto maximumAdded = std::max<std::size_t>(kMinimumAddedWindows, windows.size() / 2);
    std::size_t added = 0;
    for (bool more = fine.fit.usable; more && added < maximumAdded;) {
        more = false;
        std::vector<LagMeasurement> clear = measurements();
        std::erase_if(clear, [](const LagMeasurement& m) { return !hasClearPeak(m); });
        std::sort(clear.begin(), clear.end(), [](const LagMeasurement& x, const LagMeasurement& y) {
            return x.trackSample < y.trackSample;
        });
        const auto explained = [&](const LagMeasurement& m) {
            return std::abs(m.lagSamples - fitLagAt(fine.fit, m.trackSample)) <= tolerance;
        };
        std::vector<std::int64_t> newStarts;
        for (std::size_t i = 0; i + 1 < clear.size(); ++i) {
            const LagMeasurement& x = clear[i];
            const LagMeasurement& y = clear[i + 1];
            const double dt = y.trackSample - x.trackSample;
            if (dt < 2.0 * double(window) ||
                (explained(x) && explained(y) &&
                 &segmentAt(fine.fit, x.trackSample) == &segmentAt(fine.fit, y.trackSample)))
                continue;
            const double middle = 0.5 * (x.trackSample + y.trackSample);
            const auto from = std::int64_t(middle - 0.25 * dt - 0.5 * double(window)) / hop;
            const auto to = std::int64_t(middle + 0.25 * dt + 0.5 * double(window)) / hop;
            const auto picked = pickFineWindows(trackEnvelope, from, to, windowFrames, 1);
            if (!picked.empty())
                newStarts.push_back(picked.front() * hop);
        }
        for (const std::int64_t trackStart : newStarts) {
            if (added == maximumAdded)
                break;
            if (std::any_of(windows.begin(), windows.end(),
                            [&](const auto& w) { return w.first == trackStart; }))
                continue;
            if (stop.stop_requested())
                return CorvaleError::cancelled();
            auto m = measureWindow(probes[0], trackStart);
            if (!m)
                return m.error();
            windows.emplace_back(trackStart, m.value());
            ++added;
            more = true;
        }
        if (more)
            refit();
    }

    // Each step to the sample, between the windows on either side of it.
    for (std::size_t k = 1; k < fine.fit.segments.size(); ++k) {
        if (stop.stop_requested())
            return CorvaleError::cancelled();
        ClockSegment& after = fine.fit.segments[k];
        const ClockSegment& before = fine.fit.segments[k - 1];
        const auto at = double(after.firstTrackSample);
        if (std::abs(after.lagAt(at) - before.lagAt(at)) <= tolerance)
            continue; // two rates meeting where the lines cross
        const auto [from, to] = fine.fit.gaps[k - 1];
        auto located = locateStep(wav, channel, reference.wav, referenceMix, before, after,
                                  from - double(window), to + double(window));
        if (!located)
            return located.error();
        const AudioOutputWriter writer;
        after.firstTrackSample = located.value().value_or(
            quietPlaceBetween(from, to, quietMap, writer.silenceWindowSamples));
    }
    const std::vector<LagMeasurement> all = measurements();
    assessFit(fine.fit, all, tolerance, kConfirmationMs * 1e-3 * rate, 0.5 * double(window));
    if (!fine.fit.disagreeing.empty()) {
        const double t = fine.fit.disagreeing.front();
        fine.listenAtSeconds = std::max(0.0, (t + coarseLagAt(offset, drift, rate, t)) / rate);
    }
    for (const double t : fine.fit.disagreeing)
        fine.disagreeingAtSeconds.push_back(
            std::max(0.0, (t + coarseLagAt(offset, drift, rate, t)) / rate));
    fine.windows = all;
    return std::optional<FineAlignment>{std::move(fine)};
}

namespace {

// The place the search found, refined to the sample on the whole query, as the clock of a file
// the fine stage could not check: one line at the reference's rate (too little speech to
// measure another). Confirmed when the search's margin is clear; none when the query does
// not show a clear peak within kPlacementAgreementSeconds of the search's lag.
Result<std::optional<FineAlignment>> placedBySearch(const SyncEngine& engine,
                                                    const FineReference& reference,
                                                    std::span<const float> query,
                                                    std::int64_t queryStart, double found,
                                                    double margin, const std::stop_token& stop) {
    const double rate = engine.sampleRate();
    const auto radius = std::int64_t(std::ceil(kRefineSeconds * rate));
    WindowReader referenceReader;
    const auto length = std::int64_t(query.size()) + 2 * radius;
    if (auto r = referenceReader.open(reference.wav, referenceMix(engine, reference), 0, length);
        !r)
        return r.error();
    const std::int64_t from = std::max<std::int64_t>(0, queryStart + std::llround(found) - radius);
    const std::int64_t to = std::min(from + length, referenceReader.frames());
    if (to - from < std::int64_t(query.size()) || stop.stop_requested())
        return std::optional<FineAlignment>{};
    auto ref = referenceReader.read(from, to - from);
    if (!ref)
        return ref.error();
    LagMeter meter(rate);
    const auto m = meter.measure(ref.value(), from, query, queryStart);
    if (!m || !hasClearPeak(*m) ||
        std::abs(m->lagSamples - found) > kPlacementAgreementSeconds * rate)
        return std::optional<FineAlignment>{};
    FineAlignment placed;
    placed.sampleRate = rate;
    placed.placedBySearch = true;
    placed.fit.segments = {ClockSegment{0, m->lagSamples, 0.0}};
    placed.fit.windowsClear = 1;
    placed.fit.windowsAgreeing = 1;
    placed.fit.usable = true;
    placed.fit.confident = margin >= kClearPlacementMargin;
    placed.listenAtSeconds = std::max(0.0, (m->trackSample + m->lagSamples) / rate);
    return std::optional<FineAlignment>{std::move(placed)};
}

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
        listenAt(usable(result.fine) ? fitLagAt(result.fine->fit, centre)
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
    const double slope = usable(result.fine) ? segmentAt(result.fine->fit, centre).slope : 0.0;
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
    // A reference too short to hold anywhere else to compare with gives no margin at all.
    const bool abstains = !fine.value() || fine.value()->fit.windowsClear < kFineVerdictWindows;
    if (abstains && placement.match->runnerUp > 0.0) {
        auto bySearch = placedBySearch(engine, reference, query.value(), queryStart, found,
                                       placement.match->margin(), stop);
        if (!bySearch)
            return bySearch.error();
        if (!bySearch.value())
            return placement;
        FineAlignment& placed = *bySearch.value();
        if (fine.value())
            placed.fit.windowsMeasured = fine.value()->fit.windowsMeasured;
        offset.confidenceBand =
            placed.fit.confident ? ConfidenceBand::high : ConfidenceBand::medium;
        result.offset = offset;
        result.drift = drift;
        result.fine = std::move(bySearch.value());
        placement.verdict = WaveformPlacement::Verdict::placed;
        placement.listenAtSeconds = result.fine->listenAtSeconds;
        return placement;
    }
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
