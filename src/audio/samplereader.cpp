// SPDX-License-Identifier: GPL-3.0-or-later
#include "samplereader.h"

#include "sync/envelope.h"

#include <QFile>

#include <sndfile.h>

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>

namespace corvale {
namespace {

// An open WAV file read through one bounded buffer. 16-bit PCM (what the conversion step
// writes) is read as shorts and scaled by 1/32768 here: that is exactly the value libsndfile's
// float read gives (v / 0x8000, a power of two, so the product is exact), but libsndfile then
// fills our buffer with one read() instead of many small ones through its own conversion
// buffer. Any other encoding is read as floats.
class ChunkReader {
public:
    ChunkReader() = default;
    ChunkReader(const ChunkReader&) = delete;
    ChunkReader& operator=(const ChunkReader&) = delete;
    ~ChunkReader() {
        if (m_file)
            sf_close(m_file);
    }

    // Opens path; on failure returns libsndfile's text.
    [[nodiscard]] std::optional<CorvaleError> open(const QString& path) {
        const QByteArray native = QFile::encodeName(path);
        m_file = sf_open(native.constData(), SFM_READ, &m_info);
        if (!m_file)
            return CorvaleError::passedOn(QString::fromUtf8(sf_strerror(nullptr)));
        m_shorts = (m_info.format & SF_FORMAT_SUBMASK) == SF_FORMAT_PCM_16;
        return std::nullopt;
    }

    [[nodiscard]] std::int64_t length() const { return m_info.frames; }
    [[nodiscard]] int channels() const { return std::max(m_info.channels, 1); }

    // One buffer for chunkFrames frames of every channel; false when it cannot be had.
    [[nodiscard]] bool allocate(std::int64_t chunkFrames) {
        const auto values =
            static_cast<std::size_t>(chunkFrames) * static_cast<std::size_t>(channels());
        if (m_shorts)
            m_shortBuffer.reset(new (std::nothrow) short[values]);
        else
            m_floatBuffer.reset(new (std::nothrow) float[values]);
        m_capacity = chunkFrames;
        return m_shorts ? m_shortBuffer != nullptr : m_floatBuffer != nullptr;
    }

    // Reads up to `frames` (at most the buffer's capacity) frames; 0 at the end of the data.
    [[nodiscard]] Result<std::int64_t> read(std::int64_t frames) {
        frames = std::min(frames, m_capacity);
        const sf_count_t got = m_shorts ? sf_readf_short(m_file, m_shortBuffer.get(), frames)
                                        : sf_readf_float(m_file, m_floatBuffer.get(), frames);
        if (got < frames && sf_error(m_file) != SF_ERR_NO_ERROR)
            return CorvaleError::passedOn(QString::fromUtf8(sf_strerror(m_file)));
        m_delivered = std::max<sf_count_t>(got, 0);
        return static_cast<std::int64_t>(m_delivered);
    }

    // Channel `channel` of the frames last read, as floats into out.
    void extractChannel(int channel, float* out) const {
        const int stride = channels();
        if (m_shorts)
            convert(m_shortBuffer.get() + channel, stride, m_delivered, out);
        else
            copy(m_floatBuffer.get() + channel, stride, m_delivered, out);
    }

    // (first + second channel) / 2 of the frames last read; a one-channel file gives itself.
    void extractMixOfFirstTwo(float* out) const {
        const int stride = channels();
        const int second = std::min(stride - 1, 1);
        for (sf_count_t i = 0; i < m_delivered; ++i) {
            const sf_count_t at = i * stride;
            const float a =
                m_shorts ? static_cast<float>(m_shortBuffer[at]) * kShortScale : m_floatBuffer[at];
            const float b = m_shorts ? static_cast<float>(m_shortBuffer[at + second]) * kShortScale
                                     : m_floatBuffer[at + second];
            out[i] = (a + b) * 0.5f;
        }
    }

    [[nodiscard]] SNDFILE* handle() const { return m_file; }

private:
    static constexpr float kShortScale = 1.0f / 32768.0f;

    // Separate one-channel loops so that the common mono case vectorises.
    static void convert(const short* in, int stride, sf_count_t count, float* out) {
        if (stride == 1) {
            for (sf_count_t i = 0; i < count; ++i)
                out[i] = static_cast<float>(in[i]) * kShortScale;
        } else {
            for (sf_count_t i = 0; i < count; ++i)
                out[i] = static_cast<float>(in[i * stride]) * kShortScale;
        }
    }
    static void copy(const float* in, int stride, sf_count_t count, float* out) {
        for (sf_count_t i = 0; i < count; ++i)
            out[i] = in[i * stride];
    }

    SNDFILE* m_file = nullptr;
    SF_INFO m_info{};
    bool m_shorts = false;
    std::unique_ptr<short[]> m_shortBuffer;
    std::unique_ptr<float[]> m_floatBuffer;
    std::int64_t m_capacity = 0;
    sf_count_t m_delivered = 0;
};

// Each 10 s chunk is read a slice at a time (128 KiB of mono 16-bit, what cat reads at once)
// into one small buffer, so that the kernel's copy of the file data is still in the cache when
// it is converted and, for envelopes, reduced. Cancellation is still checked once per chunk.
constexpr std::int64_t kSliceFrames = 65536;

// Reads every chunk of the file, handing each slice read to take(firstFrame, frames).
// Returns the number of frames read, or the error that ended reading.
template <typename Take>
Result<std::int64_t> readChunks(ChunkReader& reader, std::int64_t chunkFrames,
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
std::optional<CorvaleError> prepare(ChunkReader& reader, const QString& path,
                                    std::int64_t chunkFrames) {
    if (auto error = reader.open(path))
        return error;
    if (reader.length() < 1)
        return CorvaleError::noAudioData();
    if (!reader.allocate(std::min({reader.length(), chunkFrames, kSliceFrames})))
        return CorvaleError::cannotReadAudio(QStringLiteral("buffer alloc failed"));
    return std::nullopt;
}

int clampChannel(const ChunkReader& reader, std::int64_t channel) {
    return static_cast<int>(std::clamp<std::int64_t>(channel, 0, reader.channels() - 1));
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
                                 const std::optional<QuietMapSettings>& quiet = {}) {
    const std::int64_t chunkFrames = engine.readChunkFrames();
    ChunkReader reader;
    if (auto error = prepare(reader, path, chunkFrames))
        return *error;
    const int c = clampChannel(reader, channel);
    EnvelopeAccumulator accumulator(engine.hopSamples());
    // The writer's windows go through the same RMS routine, so the map is the one it would make.
    std::optional<EnvelopeAccumulator> windows;
    if (quiet)
        windows.emplace(std::max<std::int64_t>(quiet->window, 1));
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
        if (windows)
            windows->push(slice);
    });
    if (!read)
        return read.error();
    TrackEnvelope result{accumulator.takeEnvelope(), read.value(), {}};
    if (windows) {
        const std::vector<float>& rms = windows->envelope();
        result.quietMap.resize(rms.size());
        for (std::size_t i = 0; i < rms.size(); ++i)
            result.quietMap[i] = rms[i] < quiet->threshold;
    }
    return result;
}

} // namespace

Result<std::vector<float>> loadSamples(const SyncEngine& engine, const QString& path,
                                       std::int64_t channel, std::stop_token stop) {
    const std::int64_t chunkFrames = engine.readChunkFrames();
    ChunkReader reader;
    if (auto error = prepare(reader, path, chunkFrames))
        return *error;
    const int c = clampChannel(reader, channel);

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
                                   std::optional<QuietMapSettings> quiet) {
    return envelopeOf(engine, path, Source::oneChannel, channel, stop, quiet);
}

Result<TrackEnvelope> loadEnvelopeOfSum(const SyncEngine& engine, const QString& path,
                                        std::stop_token stop) {
    return envelopeOf(engine, path, Source::mixOfFirstTwo, 0, stop);
}

Result<StereoAnalysis> analyzeStereo(const SyncEngine& engine, const QString& path) {
    ChunkReader reader;
    if (auto error = reader.open(path))
        return *error;
    if (reader.channels() < 2)
        return StereoAnalysis::monoOrIdentical();

    const std::int64_t length = std::max<std::int64_t>(reader.length(), 0);
    const std::int64_t window =
        std::min(static_cast<std::int64_t>(engine.sampleRate() * 30.0), length);
    if (window < 1)
        return StereoAnalysis::monoOrIdentical();
    if (sf_seek(reader.handle(), (length - window) / 2, SEEK_SET) < 0)
        return CorvaleError::passedOn(QString::fromUtf8(sf_strerror(reader.handle())));
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
    return stereoVerdict(left, right);
}

} // namespace corvale
