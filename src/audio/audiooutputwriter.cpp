// SPDX-License-Identifier: GPL-3.0-or-later
#include "audiooutputwriter.h"

#include "backgroundmeter.h"
#include "clockresampler.h"
#include "loudnessgain.h"
#include "loudnessmeter.h"
#include "partialoutput.h"
#include "samplereader.h"
#include "wavreader.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <thread>
#include <type_traits>
#include <utility>

namespace corvale {
namespace {

constexpr std::int64_t kChunkFrames = 220500;

std::int64_t floorDiv(std::int64_t a, std::int64_t b) {
    const std::int64_t q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

// Copies the input from `start` to its end into the output, taking one channel and applying
// the corrections in order. A 16-bit mono input goes through the kernel when `inKernel` and
// the kernel accepts; otherwise (and for what the kernel refuses) through one buffer per part
// in the input's own sample type (16-bit values move as integers: the float round trip would
// give the same values at a good part of the cost).
template <typename T>
Result<Done> copyWithCorrections(WavReader& in, PartialOutput& out,
                                 const std::vector<Correction>& corrections, std::int64_t channel,
                                 std::int64_t start, bool inKernel, const std::stop_token& stop) {
    const std::int64_t length = in.length();
    const std::int64_t channels = in.channels();
    const auto raw = inKernel ? in.rawPcm16Mono() : std::nullopt;
    std::int64_t position = std::clamp<std::int64_t>(start, 0, length);
    std::int64_t readPosition = 0; // where the library's next read starts

    bool buffered = false;
    std::unique_ptr<T[]> mono;
    std::size_t next = 0;
    while (position < length) {
        if (stop.stop_requested())
            return CorvaleError::cancelled();
        const std::int64_t target =
            next < corrections.size() ? corrections[next].inputPosition : length;
        const std::int64_t count = std::min(length, target) - position;
        std::int64_t remaining = count;
        if (raw && remaining > 0 && !out.kernelCopyRefused()) {
            const std::int64_t present = std::max<std::int64_t>(raw->frames - position, 0);
            auto copied = out.appendCopy(raw->fd, raw->offset + 2 * position,
                                         std::min(remaining, present), stop);
            if (!copied)
                return copied.error();
            position += copied.value();
            remaining -= copied.value();
            // A damaged input holds fewer frames than it claims: its part ends here.
            if (remaining > 0 && !out.kernelCopyRefused())
                return Done{};
        }
        if (remaining > 0 && readPosition != position) {
            if (auto error = in.seek(position))
                return *error;
            readPosition = position;
        }
        while (remaining > 0) {
            const std::int64_t wanted = std::min(remaining, kChunkFrames);
            if (!buffered && !in.allocate(kChunkFrames))
                return CorvaleError::cannotWriteAudio(QStringLiteral("buffer alloc failed"));
            buffered = true;
            auto got = in.read(wanted);
            if (!got)
                return got.error();
            // A damaged input holds fewer frames than it claims: its part ends here.
            if (got.value() <= 0)
                return Done{};
            const T* buffer = nullptr;
            if constexpr (std::is_same_v<T, short>)
                buffer = in.shorts();
            else
                buffer = in.floats();
            if (channels == 1) {
                if (auto r = out.append(buffer, got.value()); !r)
                    return r;
            } else {
                if (!mono)
                    mono.reset(new (std::nothrow) T[kChunkFrames]);
                if (!mono)
                    return CorvaleError::cannotWriteAudio(
                        QStringLiteral("channel extraction failed"));
                const T* src = buffer + channel;
                for (std::int64_t f = 0; f < got.value(); ++f)
                    mono[static_cast<std::size_t>(f)] = src[f * channels];
                if (auto r = out.append(mono.get(), got.value()); !r)
                    return r;
            }
            position += got.value();
            readPosition = position;
            remaining -= got.value();
        }
        if (next < corrections.size() && position >= corrections[next].inputPosition) {
            const std::int64_t delta = corrections[next].delta;
            if (delta > 0) {
                if (auto r = out.appendSilence(delta); !r)
                    return r;
            } else if (delta < 0) {
                position = std::min(position - delta, length);
            }
            ++next;
            continue;
        }
        if (count < 1)
            break;
    }
    return Done{};
}

// Reads input frames [from, to) of one channel as floats, handing them on in chunks.
template <typename Take>
Result<Done> readChannel(WavReader& in, std::int64_t channel, std::int64_t from, std::int64_t to,
                         std::unique_ptr<float[]>& mono, const std::stop_token& stop, Take&& take) {
    to = std::min(to, in.length());
    if (from >= to)
        return Done{};
    if (auto error = in.seek(from))
        return *error;
    if (!mono)
        mono.reset(new (std::nothrow) float[static_cast<std::size_t>(kChunkFrames)]);
    if (!mono || !in.allocate(kChunkFrames))
        return CorvaleError::cannotWriteAudio(QStringLiteral("buffer alloc failed"));
    while (from < to) {
        if (stop.stop_requested())
            return CorvaleError::cancelled();
        auto got = in.read(std::min(to - from, kChunkFrames));
        if (!got)
            return got.error();
        if (got.value() <= 0)
            return Done{}; // a damaged input ends early, as in the plain copy
        in.extractChannel(int(channel), mono.get());
        const auto count = static_cast<std::size_t>(got.value());
        if (auto r = take(std::span<const float>(mono.get(), count)); !r)
            return r;
        from += got.value();
    }
    return Done{};
}

// The first input frame at or after `from` whose fitted output position is at least
// `position` (half a sample's rounding allowed).
std::int64_t firstFrameAt(const ClockSegment& segment, double position, std::int64_t from) {
    const double ratio = 1.0 + segment.slope;
    const double f = std::ceil((position - 0.5 - segment.lagAtZero) / ratio);
    return std::max(from, f > 9e18 ? std::numeric_limits<std::int64_t>::max() : std::int64_t(f));
}

// Where a long resampled stretch is cut in two, so that its halves resample at once on two
// cores: k input frames after its start, where k times the ratio lies within half the clock's
// slope of a whole number of output frames (under two ten-thousandths of a frame at a few
// hundred ppm), so the second half's output frames fall on the first half's grid; none when the
// stretch is too short or its clock too close to the reference's to find such a place near its
// middle.
struct StretchCut {
    std::int64_t inputFrames;  // k
    std::int64_t outputFrames; // the whole number of output frames before the cut
};

std::optional<StretchCut> cutOf(std::int64_t frames, double slope, std::int64_t atLeast) {
    if (frames < std::max<std::int64_t>(atLeast, 1) || slope == 0.0)
        return std::nullopt;
    const double whole = std::round(double(frames / 2) * slope);
    if (whole == 0.0)
        return std::nullopt;
    const auto k = std::int64_t(std::llround(whole / slope));
    if (k < frames / 4 || k > frames - frames / 4)
        return std::nullopt;
    return StretchCut{k, k + std::int64_t(whole)};
}

// Resamples input frames [from, end) by ratio in two halves at once: this thread appends the
// first half's output, another writes the second's ahead of it, and each half starts early
// and ends late by kCutOverlapFrames whose output is dropped, so that neither sees the edge of
// the other (the resampler's filter is far shorter).
constexpr std::int64_t kCutOverlapFrames = 32768;

Result<Done> resampleInTwo(WavReader& in, const QString& path, PartialOutput& out,
                           std::int64_t channel, std::int64_t from, std::int64_t end, double ratio,
                           const StretchCut& cut, const std::stop_token& stop) {
    const std::int64_t firstAhead = out.length() + cut.outputFrames + kCutOverlapFrames;
    std::stop_source halt;
    std::stop_callback forward(stop, [&halt] { halt.request_stop(); });
    std::optional<Result<std::int64_t>> ahead;
    std::thread second([&] {
        ahead = [&]() -> Result<std::int64_t> {
            WavReader reader;
            if (auto error = reader.open(path))
                return *error;
            ClockResampler resampler;
            if (auto r = resampler.start(ratio); !r)
                return r.error();
            std::int64_t produced = 0;
            const auto sink = [&](std::span<const float> samples) -> Result<Done> {
                const std::int64_t drop =
                    std::clamp<std::int64_t>(kCutOverlapFrames - produced, 0, samples.size());
                const std::int64_t at = firstAhead + produced + drop - kCutOverlapFrames;
                produced += std::int64_t(samples.size());
                return out.writeAhead(at, samples.subspan(std::size_t(drop)));
            };
            std::unique_ptr<float[]> mono;
            auto fed = readChannel(
                reader, channel, from + cut.inputFrames, end, mono, halt.get_token(),
                [&](std::span<const float> samples) { return resampler.push(samples, sink); });
            if (!fed)
                return fed.error();
            if (auto r = resampler.finish(sink); !r)
                return r.error();
            return std::max<std::int64_t>(produced - kCutOverlapFrames, 0);
        }();
    });
    const auto first = [&]() -> Result<Done> {
        ClockResampler resampler;
        if (auto r = resampler.start(ratio); !r)
            return r;
        const std::int64_t wanted = firstAhead - out.length();
        std::int64_t produced = 0;
        const auto sink = [&](std::span<const float> samples) -> Result<Done> {
            const std::int64_t take =
                std::clamp<std::int64_t>(wanted - produced, 0, samples.size());
            produced += std::int64_t(samples.size());
            return out.append(samples.data(), take);
        };
        std::unique_ptr<float[]> mono;
        const std::int64_t last = std::min(end, from + cut.inputFrames + 2 * kCutOverlapFrames);
        if (auto r = readChannel(
                in, channel, from, last, mono, halt.get_token(),
                [&](std::span<const float> samples) { return resampler.push(samples, sink); });
            !r)
            return r;
        return resampler.finish(sink);
    }();
    if (!first)
        halt.request_stop();
    second.join();
    if (!first)
        return first;
    if (!*ahead)
        return ahead->error();
    return out.adoptAhead(firstAhead, ahead->value());
}

// A part placed by the fine stage's clock. Each segment starts where its line puts it: the
// first at the part's fitted start (input before the reference's start is cut; an output that
// already runs past it is continued, as with the plain copy), later ones after silence or a
// skip that closes the step between the lines.
Result<Done> copyFollowingClock(WavReader& in, const QString& path, PartialOutput& out,
                                const std::vector<ClockSegment>& clock, std::int64_t channel,
                                std::int64_t cutAtLeast, const std::stop_token& stop) {
    std::unique_ptr<float[]> mono;
    ClockResampler resampler;
    const auto append = [&out](std::span<const float> samples) -> Result<Done> {
        return out.append(samples.data(), static_cast<std::int64_t>(samples.size()));
    };
    for (std::size_t k = 0; k < clock.size(); ++k) {
        const ClockSegment& segment = clock[k];
        const std::int64_t begin = std::max<std::int64_t>(segment.firstTrackSample, 0);
        const std::int64_t end = k + 1 < clock.size()
                                     ? std::min(clock[k + 1].firstTrackSample, in.length())
                                     : in.length();
        if (end <= begin)
            continue;
        const auto positionOf = [&](std::int64_t f) {
            return double(f) + segment.lagAt(double(f));
        };
        std::int64_t from = begin;
        if (k == 0) {
            from = firstFrameAt(segment, 0.0, begin);
            const std::int64_t lead = std::max<std::int64_t>(std::llround(positionOf(from)), 0);
            if (out.length() < lead) {
                if (auto r = out.appendSilence(lead - out.length()); !r)
                    return r;
            }
        } else {
            const std::int64_t at = std::llround(positionOf(begin));
            if (at >= out.length()) {
                if (auto r = out.appendSilence(at - out.length()); !r)
                    return r;
            } else {
                from = firstFrameAt(segment, double(out.length()), begin);
            }
        }
        if (from >= end)
            continue;
        // A clock that moves the stretch by less than half a sample is copied as it is.
        if (std::abs(segment.slope) * double(end - from) < 0.5) {
            if (auto r = readChannel(in, channel, from, end, mono, stop, append); !r)
                return r;
            continue;
        }
        if (const auto cut = cutOf(end - from, segment.slope, cutAtLeast)) {
            if (auto r = resampleInTwo(in, path, out, channel, from, end, 1.0 + segment.slope, *cut,
                                       stop);
                !r)
                return r;
            continue;
        }
        if (auto r = resampler.start(1.0 + segment.slope); !r)
            return r;
        auto fed =
            readChannel(in, channel, from, end, mono, stop, [&](std::span<const float> samples) {
                return resampler.push(samples, append);
            });
        if (!fed)
            return fed;
        if (auto r = resampler.finish(append); !r)
            return r;
    }
    return Done{};
}

// Brings the finished, unpublished output to the target with a plain gain. Only a failure of
// the file itself, or a cancel, is an error; a loudness that cannot be measured is reported.
Result<OutputLoudness> bringToTarget(PartialOutput& out, const LoudnessMeter& meter, double target,
                                     int sampleRate, const std::stop_token& stop) {
    OutputLoudness loudness;
    loudness.targetLUFS = target;
    const auto measured = meter.integrated();
    if (!measured) {
        loudness.measuredLUFS = std::numeric_limits<double>::quiet_NaN();
        loudness.failure = measured.error().errorDescription();
        return loudness;
    }
    loudness.measuredLUFS = measured.value();
    if (!std::isfinite(measured.value())) {
        loudness.failure = QStringLiteral("the output is silent, its loudness cannot be measured");
        return loudness;
    }
    const std::optional<double> gain = gainToTarget(measured.value(), target);
    if (!gain) {
        loudness.reachedLUFS = measured.value();
        return loudness;
    }
    // Unclipped, the gain moves the loudness by itself, give or take the rounding of the
    // samples (well under 0.01 LU); clipped, the file says how much it cost, measured as the
    // gain goes. The gain is monotonic, so the extremes say beforehand whether it clips.
    const bool clips = willClip(meter.lowest(), *gain) || willClip(meter.highest(), *gain);
    LoudnessMeter reached;
    std::optional<BackgroundMeter> feed;
    if (clips && reached.start(sampleRate))
        feed.emplace(reached);
    auto clipped = out.scale(*gain, stop, feed ? &*feed : nullptr);
    if (!clipped)
        return clipped.error();
    if (feed)
        feed->finish();
    loudness.gainDb = gain;
    loudness.clippedSamples = clipped.value();
    loudness.reachedLUFS = measured.value() + *gain;
    if (clipped.value() > 0) {
        if (const auto after = reached.integrated(); after && std::isfinite(after.value()))
            loudness.reachedLUFS = after.value();
    }
    return loudness;
}

} // namespace

Result<QString> AudioOutputWriter::write(const std::vector<SyncPart>& parts, const QString& output,
                                         std::stop_token stop, const NextName& nextName) const {
    auto written = writeOutput(parts, output, {}, std::move(stop), nextName);
    if (!written)
        return written.error();
    return std::move(written.value().path);
}

Result<WrittenOutput> AudioOutputWriter::writeOutput(const std::vector<SyncPart>& parts,
                                                     const QString& output,
                                                     const OutputOptions& options,
                                                     std::stop_token stop,
                                                     const NextName& nextName) const {
    if (parts.empty())
        return CorvaleError::cannotWriteAudio(QStringLiteral("no parts to write"));
    for (const SyncPart& part : parts) {
        // A position made from it would be undefined; no output is better than a wrong one.
        if (!std::isfinite(part.offsetSeconds))
            return CorvaleError::cannotWriteAudio(QStringLiteral("invalid part offset"));
    }

    if (stop.stop_requested())
        return CorvaleError::cancelled();
    int sampleRate = 0;
    {
        WavReader first;
        if (auto error = first.open(parts.front().inputWAV))
            return *error;
        sampleRate = first.sampleRate();
    }
    const double rate = sampleRate;
    const std::int64_t window = std::max<std::int64_t>(silenceWindowSamples, 1);

    PartialOutput out;
    if (auto r = out.create(output, sampleRate); !r)
        return r.error();
    LoudnessMeter meter; // a meter that cannot start says why when asked for its figure
    std::optional<BackgroundMeter> feed;
    if (options.loudnessTargetLUFS && meter.start(sampleRate)) {
        feed.emplace(meter);
        out.meterInto(&*feed);
    }

    std::vector<const SyncPart*> ordered;
    ordered.reserve(parts.size());
    for (const SyncPart& part : parts)
        ordered.push_back(&part);
    std::stable_sort(ordered.begin(), ordered.end(), [](const SyncPart* a, const SyncPart* b) {
        return a->offsetSeconds < b->offsetSeconds;
    });

    for (const SyncPart* part : ordered) {
        if (stop.stop_requested())
            return CorvaleError::cancelled();
        WavReader in;
        if (auto error = in.open(part->inputWAV))
            return *error;
        const std::int64_t channel = in.clampChannel(part->channel);
        // A clock that moves the part by less than half a sample is only a start to the
        // sample: the plain copy places it, with no corrections.
        const bool stillClock = part->clock.size() == 1 &&
                                std::abs(part->clock.front().slope) * double(in.length()) < 0.5;
        if (!part->clock.empty() && !stillClock) {
            if (auto r = copyFollowingClock(in, part->inputWAV, out, part->clock, channel,
                                            cutStretchesFrom, stop);
                !r)
                return r.error();
            continue;
        }

        std::optional<Result<std::vector<bool>>> built;
        const std::vector<bool>* map = part->quietMap.get();
        const std::vector<bool> noMap;
        if (stillClock)
            map = &noMap;
        else if (!map || std::int64_t(map->size()) != in.length() / window) {
            built = quietMap(part->inputWAV, part->quietMapChannel, stop);
            if (!*built)
                return built->error();
            map = &built->value();
        }

        const std::int64_t start = stillClock ? std::llround(part->clock.front().lagAtZero)
                                              : std::llround(rate * part->offsetSeconds);
        // Parts never overlap and the output never moves backwards: a part that would start
        // inside the previous one follows directly after it.
        const std::int64_t lead = std::max<std::int64_t>(start, 0);
        if (out.length() < lead) {
            if (auto r = out.appendSilence(lead - out.length()); !r)
                return r.error();
        }
        const std::int64_t trim = std::max<std::int64_t>(-start, 0);
        const auto corrections = stillClock ? std::vector<Correction>{}
                                            : planCorrections(part->driftPoints, trim, *map, rate);
        const bool inKernel = copying == Copying::inKernelWherePossible;
        auto copied =
            in.isPcm16()
                ? copyWithCorrections<short>(in, out, corrections, channel, trim, inKernel, stop)
                : copyWithCorrections<float>(in, out, corrections, channel, trim, inKernel, stop);
        if (!copied)
            return copied.error();
    }
    WrittenOutput written;
    if (options.loudnessTargetLUFS) {
        if (feed)
            feed->finish();
        auto loudness = bringToTarget(out, meter, *options.loudnessTargetLUFS, sampleRate, stop);
        if (!loudness)
            return loudness.error();
        written.loudness = std::move(loudness.value());
    }
    if (stop.stop_requested())
        return CorvaleError::cancelled();
    auto published = out.commit(nextName);
    if (!published)
        return published.error();
    written.path = std::move(published.value());
    return written;
}

Result<std::vector<bool>> AudioOutputWriter::quietMap(const QString& inputWAV, std::int64_t channel,
                                                      std::stop_token stop) const {
    return loadQuietMap(inputWAV, channel, quietMapSettings(), stop);
}

// Sign of a correction: driftSeconds is where the track's material was found on the
// reference's timeline minus where the start offset alone puts it. A drift that grows between
// two points means the later material belongs later than a plain copy puts it, so silence is
// inserted; a drift that shrinks means it belongs earlier, so input frames are skipped.
std::vector<Correction> AudioOutputWriter::planCorrections(std::vector<DriftPoint> points,
                                                           std::int64_t trim,
                                                           const std::vector<bool>& quietMap,
                                                           double sampleRate) const {
    // A non-finite point cannot be placed and would break the ordering below.
    std::erase_if(points, [](const DriftPoint& p) {
        return !std::isfinite(p.timeSeconds) || !std::isfinite(p.driftSeconds);
    });
    if (points.size() < 2)
        return {};
    std::stable_sort(points.begin(), points.end(), [](const DriftPoint& a, const DriftPoint& b) {
        return a.timeSeconds < b.timeSeconds;
    });
    const std::int64_t window = std::max<std::int64_t>(silenceWindowSamples, 1);
    std::vector<Correction> corrections;
    for (std::size_t i = 1; i < points.size(); ++i) {
        const DriftPoint& p = points[i - 1];
        const DriftPoint& q = points[i];
        const std::int64_t step = std::llround(sampleRate * (q.driftSeconds - p.driftSeconds));
        const std::int64_t size = step < 0 ? -step : step;
        // Steps below one window are dropped, not carried over to the next pair.
        if (size < window)
            continue;
        const std::int64_t nominal = std::llround(sampleRate * q.timeSeconds) + trim;
        const std::int64_t need = std::max(size, window);
        const std::int64_t position = findQuietPosition(nominal, need, quietMap).value_or(nominal);
        corrections.push_back({position, step});
    }
    std::stable_sort(
        corrections.begin(), corrections.end(),
        [](const Correction& a, const Correction& b) { return a.inputPosition < b.inputPosition; });
    return corrections;
}

std::optional<std::int64_t>
AudioOutputWriter::findQuietPosition(std::int64_t nominal, std::int64_t need,
                                     const std::vector<bool>& quietMap) const {
    const std::int64_t window = std::max<std::int64_t>(silenceWindowSamples, 1);
    const std::int64_t runLength = std::max<std::int64_t>(need / window, 1);
    const std::int64_t centre = floorDiv(nominal, window);
    const std::int64_t radius = std::max<std::int64_t>(searchRadiusSamples / window, 0);
    const auto entries = static_cast<std::int64_t>(quietMap.size());

    const auto accepted = [&](std::int64_t k) {
        if (k < 0 || k > entries - runLength)
            return false;
        for (std::int64_t w = k; w < k + runLength; ++w) {
            if (!quietMap[static_cast<std::size_t>(w)])
                return false;
        }
        return true;
    };
    for (std::int64_t r = 0; r <= radius; ++r) {
        if (accepted(centre - r))
            return (centre - r) * window;
        if (r > 0 && accepted(centre + r))
            return (centre + r) * window;
    }
    return std::nullopt;
}

} // namespace corvale
