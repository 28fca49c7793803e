// SPDX-License-Identifier: GPL-3.0-or-later
#include "samplereader.h"

#include "sync/envelope.h"
#include "wavreader.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>

namespace corvale {
namespace {

// Each 10 s chunk is read a slice at a time (128 KiB of mono 16-bit, what cat reads at once)
// into one small buffer, so that the kernel's copy of the file data is still in the cache when
// it is converted and, for envelopes, reduced. Cancellation is still checked once per chunk.
constexpr std::int64_t kSliceFrames = 65536;

// Reads every chunk of the file, handing each slice read to take(firstFrame, frames).
// Returns the number of frames read, or the error that ended reading.
template <typename Take>
Result<std::int64_t> readChunks(WavReader& reader, std::int64_t chunkFrames,
                                const std::stop_token& stop, Take&& take) {
    const std::int64_t length = reader.length();
    std::int64_t done = 0;
    while (done < length) {
        if (stop.stop_requested())
            return CorvaleError::cancelled();
        const std::int64_t chunkEnd = std::min(length, done + chunkFrames);
        while (done < chunkEnd) {
            auto got = reader.read(std::min(chunkEnd - done, kSliceFrames));
            if (!got)
                return got.error();
            if (got.value() == 0)
                return done; // the file holds fewer frames than it said: keep what was read
            take(done, got.value());
            done += got.value();
        }
    }
    return done;
}

// Opens the file and sets up its read buffer, with the errors both loaders share.
std::optional<CorvaleError> prepare(WavReader& reader, const QString& path,
                                    std::int64_t chunkFrames) {
    if (auto error = reader.open(path))
        return error;
    if (reader.length() < 1)
        return CorvaleError::noAudioData();
    if (!reader.allocate(std::min({reader.length(), chunkFrames, kSliceFrames})))
        return CorvaleError::cannotReadAudio(QStringLiteral("buffer alloc failed"));
    return std::nullopt;
}

// An hour at 48 kHz is 691 MB of floats. Faulting that in page by page on first write costs
// more than reading the file, so the list's storage is made resident in one call (Linux 5.14
// and later; elsewhere the hint fails and the pages fault in as they are written).
void populate(const std::vector<float>& list) {
#ifdef MADV_POPULATE_WRITE
    const auto pageSize = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    const auto begin = reinterpret_cast<std::uintptr_t>(list.data()) & ~(pageSize - 1);
    const std::uintptr_t end = reinterpret_cast<std::uintptr_t>(list.data() + list.capacity());
    if (end > begin)
        madvise(reinterpret_cast<void*>(begin), end - begin, MADV_POPULATE_WRITE);
#else
    (void)list;
#endif
}

enum class Source { oneChannel, mixOfFirstTwo };

Result<TrackEnvelope> envelopeOf(const SyncEngine& engine, const QString& path, Source source,
                                 std::int64_t channel, const std::stop_token& stop,
                                 const std::optional<QuietMapSettings>& quiet = {},
                                 const SliceSink& slices = {}) {
    const std::int64_t chunkFrames = engine.readChunkFrames();
    WavReader reader;
    if (auto error = prepare(reader, path, chunkFrames))
        return *error;
    const int c = reader.clampChannel(channel);
    EnvelopeAccumulator accumulator(engine.hopSamples());
    std::optional<QuietMapBuilder> quietMap;
    if (quiet)
        quietMap.emplace(*quiet);
    // The chunk is converted and reduced a slice at a time so that the floats are summed while
    // still in the cache; the accumulator gives the same envelope for any slicing.
    std::vector<float> samples(static_cast<std::size_t>(std::min(reader.length(), kSliceFrames)));
    auto read = readChunks(reader, chunkFrames, stop, [&](std::int64_t, std::int64_t frames) {
        if (source == Source::oneChannel)
            reader.extractChannel(c, samples.data());
        else
            reader.extractMixOfFirstTwo(samples.data());
        const auto slice = std::span<const float>(samples).first(static_cast<std::size_t>(frames));
        accumulator.push(slice);
        if (quietMap)
            quietMap->push(slice);
        if (slices)
            slices(slice);
    });
    if (!read)
        return read.error();
    TrackEnvelope result{accumulator.takeEnvelope(), read.value(), {}};
    if (quietMap)
        result.quietMap = quietMap->takeMap();
    return result;
}

} // namespace

Result<std::vector<float>> loadSamples(const SyncEngine& engine, const QString& path,
                                       std::int64_t channel, std::stop_token stop) {
    const std::int64_t chunkFrames = engine.readChunkFrames();
    WavReader reader;
    if (auto error = prepare(reader, path, chunkFrames))
        return *error;
    const int c = reader.clampChannel(channel);

    // Room for every frame is reserved up front and filled chunk by chunk; growing the list
    // only by what was read keeps a truncated file's result to the frames it holds.
    std::vector<float> samples;
    try {
        samples.reserve(static_cast<std::size_t>(reader.length()));
    } catch (const std::bad_alloc&) {
        return CorvaleError::cannotReadAudio(QStringLiteral("buffer alloc failed"));
    } catch (const std::length_error&) { // a length no list can hold
        return CorvaleError::cannotReadAudio(QStringLiteral("buffer alloc failed"));
    }
    populate(samples);
    auto read = readChunks(reader, chunkFrames, stop, [&](std::int64_t at, std::int64_t frames) {
        // Grown a slice at a time: the zeros resize writes are still cached when overwritten.
        samples.resize(static_cast<std::size_t>(at + frames));
        reader.extractChannel(c, samples.data() + at);
    });
    if (!read)
        return read.error();
    return samples;
}

Result<TrackEnvelope> loadEnvelope(const SyncEngine& engine, const QString& path,
                                   std::int64_t channel, std::stop_token stop,
                                   std::optional<QuietMapSettings> quiet, const SliceSink& slices) {
    return envelopeOf(engine, path, Source::oneChannel, channel, stop, quiet, slices);
}

Result<TrackEnvelope> loadEnvelopeOfSum(const SyncEngine& engine, const QString& path,
                                        std::stop_token stop) {
    return envelopeOf(engine, path, Source::mixOfFirstTwo, 0, stop);
}

Result<std::vector<bool>> loadQuietMap(const QString& path, std::int64_t channel,
                                       QuietMapSettings settings, std::stop_token stop) {
    WavReader reader;
    if (auto error = reader.open(path))
        return *error;
    const std::int64_t window = std::max<std::int64_t>(settings.window, 1);
    const auto entries = static_cast<std::size_t>(reader.length() / window);
    if (reader.length() < 1 || !reader.allocate(std::min(reader.length(), kSliceFrames)))
        return std::vector<bool>(entries, false);
    const int c = reader.clampChannel(channel);
    QuietMapBuilder builder(settings);
    std::vector<float> samples(static_cast<std::size_t>(std::min(reader.length(), kSliceFrames)));
    auto read = readChunks(reader, 1000 * window, stop, [&](std::int64_t, std::int64_t frames) {
        reader.extractChannel(c, samples.data());
        builder.push(std::span<const float>(samples).first(static_cast<std::size_t>(frames)));
    });
    if (!read)
        return read.error();
    std::vector<bool> map = builder.takeMap();
    map.resize(entries, false);
    return map;
}

Result<StereoAnalysis> analyzeStereo(const SyncEngine& engine, const QString& path) {
    WavReader reader;
    if (auto error = reader.open(path))
        return *error;
    if (reader.channels() < 2)
        return StereoAnalysis::monoOrIdentical();

    const std::int64_t length = std::max<std::int64_t>(reader.length(), 0);
    const std::int64_t window =
        std::min(static_cast<std::int64_t>(engine.sampleRate() * 30.0), length);
    if (window < 1)
        return StereoAnalysis::monoOrIdentical();
    if (auto error = reader.seek((length - window) / 2))
        return *error;
    if (!reader.allocate(window))
        return StereoAnalysis::monoOrIdentical();
    auto got = reader.read(window);
    if (!got)
        return got.error();
    if (got.value() == 0)
        return StereoAnalysis::monoOrIdentical();

    const auto n = static_cast<std::size_t>(got.value());
    std::vector<float> left(n), right(n);
    reader.extractChannel(0, left.data());
    reader.extractChannel(1, right.data());
    return stereoVerdict(left, right, engine.sampleRate());
}

} // namespace corvale
