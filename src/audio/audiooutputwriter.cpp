// SPDX-License-Identifier: GPL-3.0-or-later
#include "audiooutputwriter.h"

#include "clockresampler.h"
#include "sync/vectorops.h"

#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <sndfile.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <system_error>
#include <type_traits>
#include <utility>

#include <fcntl.h>
#include <unistd.h>

namespace corvale {
namespace {

constexpr std::int64_t kChunkFrames = 220500;
constexpr std::int64_t kMapBlockWindows = 1000;

struct SndFileCloser {
    void operator()(SNDFILE* file) const {
        if (file)
            sf_close(file);
    }
};
using SndFilePtr = std::unique_ptr<SNDFILE, SndFileCloser>;

CorvaleError libraryError(SNDFILE* file) {
    return CorvaleError::passedOn(QString::fromUtf8(sf_strerror(file)));
}

CorvaleError systemError(int code) {
    return CorvaleError::passedOn(
        QString::fromStdString(std::error_code(code, std::generic_category()).message()));
}

// Zero-filled; null when the allocation fails, so that failure stays a value.
template <typename T> std::unique_ptr<T[]> allocate(std::int64_t count) {
    constexpr auto limit =
        static_cast<std::int64_t>(std::numeric_limits<std::size_t>::max() / sizeof(T));
    if (count < 1 || count > limit)
        return nullptr;
    return std::unique_ptr<T[]>(new (std::nothrow) T[static_cast<std::size_t>(count)]());
}

// 16-bit inputs (every converted file) are moved as integers: the float round trip gives the
// same values (v / 32768 back to v) at a good part of the cost.
sf_count_t readFrames(SNDFILE* file, float* buffer, sf_count_t frames) {
    return sf_readf_float(file, buffer, frames);
}
sf_count_t readFrames(SNDFILE* file, short* buffer, sf_count_t frames) {
    return sf_readf_short(file, buffer, frames);
}
// The value libsndfile's float read gives for a 16-bit sample.
float toFloat(short v) {
    return static_cast<float>(v) * (1.0f / 32768.0f);
}

std::int64_t clampChannel(std::int64_t wanted, int channels) {
    return std::clamp<std::int64_t>(wanted, 0, std::max(channels - 1, 0));
}

std::int64_t floorDiv(std::int64_t a, std::int64_t b) {
    const std::int64_t q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

struct Input {
    SndFilePtr file;
    std::int64_t frames = 0;
    int channels = 1;
    int sampleRate = 0;
    bool pcm16 = false;
};

Result<Input> openInput(const QString& path) {
    SF_INFO info{};
    SNDFILE* raw = sf_open(QFile::encodeName(path).constData(), SFM_READ, &info);
    if (!raw)
        return libraryError(nullptr);
    Input in;
    in.file.reset(raw);
    in.frames = info.frames;
    in.channels = std::max(info.channels, 1);
    in.sampleRate = info.samplerate;
    in.pcm16 = (info.format & SF_FORMAT_SUBMASK) == SF_FORMAT_PCM_16;
    return in;
}

// The output under construction: a hidden, uniquely named file beside the final one that is
// renamed into place only when complete, so an interrupted write never looks like a result.
class PartialOutput {
public:
    PartialOutput() = default;
    PartialOutput(const PartialOutput&) = delete;
    PartialOutput& operator=(const PartialOutput&) = delete;
    ~PartialOutput() { discard(); }

    Result<Done> create(const QString& finalPath, int sampleRate) {
        const QFileInfo target(finalPath);
        m_finalPath = QFile::encodeName(target.absoluteFilePath());
        QByteArray stem = QFile::encodeName(target.fileName());
        if (stem.size() > 180) // keep the temporary name within NAME_MAX
            stem.clear();
        const QByteArray folder = QFile::encodeName(target.absolutePath());
        static constexpr char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
        int lastError = EEXIST;
        for (int attempt = 0; attempt < 64 && lastError == EEXIST; ++attempt) {
            QByteArray suffix(6, 'x');
            for (char& c : suffix)
                c = kAlphabet[QRandomGenerator::global()->bounded(36)];
            const QByteArray candidate =
                folder + "/." + stem + ".corvale-partial-" + suffix + ".wav";
            const int fd =
                ::open(candidate.constData(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (fd >= 0) {
                m_fd = fd;
                m_tempPath = candidate;
                break;
            }
            lastError = errno;
        }
        if (m_fd < 0)
            return systemError(lastError);

        SF_INFO info{};
        info.samplerate = sampleRate;
        info.channels = 1;
        info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
        m_file = sf_open_fd(m_fd, SFM_WRITE, &info, SF_FALSE);
        if (!m_file)
            return libraryError(nullptr);
        // Full-scale float maps to 32768 with clamping: 16-bit inputs copy bit-exactly and
        // overs clip instead of wrapping around.
        sf_command(m_file, SFC_SET_CLIPPING, nullptr, SF_TRUE);
        return Done{};
    }

    [[nodiscard]] std::int64_t length() const { return m_length; }

    Result<Done> append(const float* samples, std::int64_t frames) {
        if (sf_writef_float(m_file, samples, frames) != frames)
            return libraryError(m_file);
        m_length += frames;
        return Done{};
    }

    Result<Done> append(const short* samples, std::int64_t frames) {
        if (sf_writef_short(m_file, samples, frames) != frames)
            return libraryError(m_file);
        m_length += frames;
        return Done{};
    }

    Result<Done> appendSilence(std::int64_t frames) {
        if (frames < 1)
            return Done{};
        if (!m_silence) {
            m_silence = allocate<float>(kChunkFrames);
            if (!m_silence)
                return CorvaleError::cannotWriteAudio(QStringLiteral("silence buffer alloc"));
        }
        while (frames > 0) {
            const std::int64_t chunk = std::min(frames, kChunkFrames);
            if (auto r = append(m_silence.get(), chunk); !r)
                return r;
            frames -= chunk;
        }
        return Done{};
    }

    Result<Done> commit() {
        const int closeError = sf_close(m_file);
        m_file = nullptr;
        if (closeError != SF_ERR_NO_ERROR)
            return CorvaleError::passedOn(QString::fromUtf8(sf_error_number(closeError)));
        const int fd = std::exchange(m_fd, -1);
        if (::close(fd) != 0)
            return systemError(errno);
        if (::rename(m_tempPath.constData(), m_finalPath.constData()) != 0)
            return systemError(errno);
        m_tempPath.clear();
        return Done{};
    }

private:
    void discard() {
        if (m_file)
            sf_close(m_file);
        m_file = nullptr;
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
        if (!m_tempPath.isEmpty())
            ::unlink(m_tempPath.constData());
        m_tempPath.clear();
    }

    QByteArray m_finalPath;
    QByteArray m_tempPath;
    int m_fd = -1;
    SNDFILE* m_file = nullptr;
    std::int64_t m_length = 0;
    std::unique_ptr<float[]> m_silence;
};

// Quiet flags per whole window of `window` frames, read from one channel. A block that cannot
// be buffered or read leaves the rest of the map loud, which only makes corrections less
// discreet, never wrong in length.
template <typename T>
Result<std::vector<bool>> buildQuietMap(Input& in, std::int64_t mapChannel, std::int64_t window,
                                        float threshold, const std::stop_token& stop) {
    if (sf_seek(in.file.get(), 0, SEEK_SET) < 0)
        return libraryError(in.file.get());
    const std::int64_t count = in.frames / window;
    std::vector<bool> map(static_cast<std::size_t>(count), false);
    const std::int64_t channels = in.channels;
    constexpr bool isFloat = std::is_same_v<T, float>;
    const bool needColumn = channels > 1 || !isFloat;
    std::unique_ptr<T[]> buffer;
    std::unique_ptr<float[]> column; // the map's channel as floats, contiguous for the RMS
    std::int64_t i = 0;
    while (i < count) {
        if (stop.stop_requested())
            return CorvaleError::cancelled();
        const std::int64_t blockFrames = std::min(count, kMapBlockWindows) * window;
        const std::int64_t wanted = std::min(count - i, kMapBlockWindows) * window;
        if (!buffer)
            buffer = allocate<T>(blockFrames * channels);
        if (needColumn && !column)
            column = allocate<float>(blockFrames);
        if (!buffer || (needColumn && !column))
            break;
        const sf_count_t got = readFrames(in.file.get(), buffer.get(), wanted);
        if (got < wanted && sf_error(in.file.get()) != SF_ERR_NO_ERROR)
            return libraryError(in.file.get());
        if (got <= 0)
            break;
        const float* samples = nullptr;
        if constexpr (isFloat) {
            samples = buffer.get();
        }
        if (needColumn) {
            const T* src = buffer.get() + mapChannel;
            for (sf_count_t f = 0; f < got; ++f) {
                if constexpr (isFloat)
                    column[static_cast<std::size_t>(f)] = src[f * channels];
                else
                    column[static_cast<std::size_t>(f)] = toFloat(src[f * channels]);
            }
            samples = column.get();
        }
        const std::int64_t windows = got / window;
        for (std::int64_t w = 0; w < windows && i + w < count; ++w) {
            const float rms =
                vec::rootMeanSquare({samples + w * window, static_cast<std::size_t>(window)});
            map[static_cast<std::size_t>(i + w)] = rms < threshold;
        }
        i += windows;
        if (got < wanted)
            break;
    }
    return map;
}

Result<std::vector<bool>> mapOf(Input& in, std::int64_t mapChannel, std::int64_t window,
                                float threshold, const std::stop_token& stop) {
    return in.pcm16 ? buildQuietMap<short>(in, mapChannel, window, threshold, stop)
                    : buildQuietMap<float>(in, mapChannel, window, threshold, stop);
}

// Copies the input from `start` to its end into the output, taking one channel and applying
// the corrections in order. Buffers are made once per part and reused for every chunk.
template <typename T>
Result<Done> copyWithCorrections(Input& in, PartialOutput& out,
                                 const std::vector<Correction>& corrections, std::int64_t channel,
                                 std::int64_t start, const std::stop_token& stop) {
    const std::int64_t length = in.frames;
    const std::int64_t channels = in.channels;
    std::int64_t position = std::clamp<std::int64_t>(start, 0, length);
    if (position < length && sf_seek(in.file.get(), position, SEEK_SET) < 0)
        return libraryError(in.file.get());

    std::unique_ptr<T[]> buffer;
    std::unique_ptr<T[]> mono;
    std::size_t next = 0;
    while (position < length) {
        if (stop.stop_requested())
            return CorvaleError::cancelled();
        const std::int64_t target =
            next < corrections.size() ? corrections[next].inputPosition : length;
        const std::int64_t count = std::min(length, target) - position;
        std::int64_t remaining = count;
        while (remaining > 0) {
            const std::int64_t wanted = std::min(remaining, kChunkFrames);
            if (!buffer)
                buffer = allocate<T>(kChunkFrames * channels);
            if (!buffer)
                return CorvaleError::cannotWriteAudio(QStringLiteral("buffer alloc failed"));
            const sf_count_t got = readFrames(in.file.get(), buffer.get(), wanted);
            if (got < wanted && sf_error(in.file.get()) != SF_ERR_NO_ERROR)
                return libraryError(in.file.get());
            // A damaged input holds fewer frames than it claims: its part ends here.
            if (got <= 0)
                return Done{};
            if (channels == 1) {
                if (auto r = out.append(buffer.get(), got); !r)
                    return r;
            } else {
                if (!mono)
                    mono = allocate<T>(kChunkFrames);
                if (!mono)
                    return CorvaleError::cannotWriteAudio(
                        QStringLiteral("channel extraction failed"));
                const T* src = buffer.get() + channel;
                for (sf_count_t f = 0; f < got; ++f)
                    mono[static_cast<std::size_t>(f)] = src[f * channels];
                if (auto r = out.append(mono.get(), got); !r)
                    return r;
            }
            position += got;
            remaining -= got;
        }
        if (next < corrections.size() && position >= corrections[next].inputPosition) {
            const std::int64_t delta = corrections[next].delta;
            if (delta > 0) {
                if (auto r = out.appendSilence(delta); !r)
                    return r;
            } else if (delta < 0) {
                position = std::min(position - delta, length);
                if (position < length && sf_seek(in.file.get(), position, SEEK_SET) < 0)
                    return libraryError(in.file.get());
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
Result<Done> readChannel(Input& in, std::int64_t channel, std::int64_t from, std::int64_t to,
                         std::unique_ptr<float[]>& buffer, std::unique_ptr<float[]>& mono,
                         const std::stop_token& stop, Take&& take) {
    to = std::min(to, in.frames);
    if (from >= to)
        return Done{};
    if (sf_seek(in.file.get(), from, SEEK_SET) < 0)
        return libraryError(in.file.get());
    const std::int64_t channels = in.channels;
    if (!buffer)
        buffer = allocate<float>(kChunkFrames * channels);
    if (!mono)
        mono = allocate<float>(kChunkFrames);
    if (!buffer || !mono)
        return CorvaleError::cannotWriteAudio(QStringLiteral("buffer alloc failed"));
    while (from < to) {
        if (stop.stop_requested())
            return CorvaleError::cancelled();
        const std::int64_t wanted = std::min(to - from, kChunkFrames);
        const sf_count_t got = sf_readf_float(in.file.get(), buffer.get(), wanted);
        if (got < wanted && sf_error(in.file.get()) != SF_ERR_NO_ERROR)
            return libraryError(in.file.get());
        if (got <= 0)
            return Done{}; // a damaged input ends early, as in the plain copy
        const float* src = buffer.get() + channel;
        for (sf_count_t f = 0; f < got; ++f)
            mono[static_cast<std::size_t>(f)] = src[f * channels];
        if (auto r = take(std::span<const float>(mono.get(), static_cast<std::size_t>(got))); !r)
            return r;
        from += got;
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

// A part placed by the fine stage's clock. Each segment starts where its line puts it: the
// first at the part's fitted start (input before the reference's start is cut; an output that
// already runs past it is continued, as with the plain copy), later ones after silence or a
// skip that closes the step between the lines.
Result<Done> copyFollowingClock(Input& in, PartialOutput& out,
                                const std::vector<ClockSegment>& clock, std::int64_t channel,
                                const std::stop_token& stop) {
    std::unique_ptr<float[]> buffer;
    std::unique_ptr<float[]> mono;
    ClockResampler resampler;
    const auto append = [&out](std::span<const float> samples) -> Result<Done> {
        return out.append(samples.data(), static_cast<std::int64_t>(samples.size()));
    };
    for (std::size_t k = 0; k < clock.size(); ++k) {
        const ClockSegment& segment = clock[k];
        const std::int64_t begin = std::max<std::int64_t>(segment.firstTrackSample, 0);
        const std::int64_t end =
            k + 1 < clock.size() ? std::min(clock[k + 1].firstTrackSample, in.frames) : in.frames;
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
            if (auto r = readChannel(in, channel, from, end, buffer, mono, stop, append); !r)
                return r;
            continue;
        }
        if (auto r = resampler.start(1.0 + segment.slope); !r)
            return r;
        auto fed = readChannel(
            in, channel, from, end, buffer, mono, stop,
            [&](std::span<const float> samples) { return resampler.push(samples, append); });
        if (!fed)
            return fed;
        if (auto r = resampler.finish(append); !r)
            return r;
    }
    return Done{};
}

} // namespace

Result<Done> AudioOutputWriter::write(const std::vector<SyncPart>& parts, const QString& output,
                                      std::stop_token stop) const {
    if (parts.empty())
        return CorvaleError::cannotWriteAudio(QStringLiteral("no parts to write"));

    if (stop.stop_requested())
        return CorvaleError::cancelled();
    int sampleRate = 0;
    {
        auto first = openInput(parts.front().inputWAV);
        if (!first)
            return first.error();
        sampleRate = first.value().sampleRate;
    }
    const double rate = sampleRate;
    const std::int64_t window = std::max<std::int64_t>(silenceWindowSamples, 1);

    PartialOutput out;
    if (auto r = out.create(output, sampleRate); !r)
        return r;

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
        auto opened = openInput(part->inputWAV);
        if (!opened)
            return opened.error();
        Input& in = opened.value();
        const std::int64_t channel = clampChannel(part->channel, in.channels);
        // A clock that moves the part by less than half a sample is only a start to the
        // sample: the plain copy places it, with no corrections.
        const bool stillClock = part->clock.size() == 1 &&
                                std::abs(part->clock.front().slope) * double(in.frames) < 0.5;
        if (!part->clock.empty() && !stillClock) {
            if (auto r = copyFollowingClock(in, out, part->clock, channel, stop); !r)
                return r;
            continue;
        }
        const std::int64_t mapChannel = clampChannel(part->quietMapChannel, in.channels);

        std::optional<Result<std::vector<bool>>> built;
        const std::vector<bool>* map = part->quietMap.get();
        const std::vector<bool> noMap;
        if (stillClock)
            map = &noMap;
        else if (!map || std::int64_t(map->size()) != in.frames / window) {
            built = mapOf(in, mapChannel, window, silenceThreshold, stop);
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
                return r;
        }
        const std::int64_t trim = std::max<std::int64_t>(-start, 0);
        const auto corrections = stillClock ? std::vector<Correction>{}
                                            : planCorrections(part->driftPoints, trim, *map, rate);
        auto copied = in.pcm16
                          ? copyWithCorrections<short>(in, out, corrections, channel, trim, stop)
                          : copyWithCorrections<float>(in, out, corrections, channel, trim, stop);
        if (!copied)
            return copied;
    }
    return out.commit();
}

Result<std::vector<bool>> AudioOutputWriter::quietMap(const QString& inputWAV, std::int64_t channel,
                                                      std::stop_token stop) const {
    auto opened = openInput(inputWAV);
    if (!opened)
        return opened.error();
    Input& in = opened.value();
    return mapOf(in, clampChannel(channel, in.channels),
                 std::max<std::int64_t>(silenceWindowSamples, 1), silenceThreshold, stop);
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
