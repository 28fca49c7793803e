// SPDX-License-Identifier: GPL-3.0-or-later
#include "wavreader.h"

#include "riffscreen.h"

#include <QFile>

#include <sndfile.h>

#include <algorithm>
#include <cstring>
#include <new>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace corvale {
namespace {

constexpr float kShortScale = 1.0f / 32768.0f;

CorvaleError libraryError(SNDFILE* file) {
    return CorvaleError::passedOn(QString::fromUtf8(sf_strerror(file)));
}

} // namespace

WavReader::WavReader() = default;

WavReader::~WavReader() {
    close();
}

void WavReader::close() {
    if (m_file)
        sf_close(m_file);
    if (m_fd >= 0)
        ::close(m_fd);
    m_file = nullptr;
    m_fd = -1;
}

std::optional<CorvaleError> WavReader::open(const QString& path) {
    close();
    const QByteArray native = QFile::encodeName(path);
    SF_INFO info{};
    // The descriptor is ours (the library leaves it open) so that the raw data can be reached
    // beside the library's reads.
    m_fd = ::open(native.constData(), O_RDONLY | O_CLOEXEC);
    if (m_fd >= 0 && !riffListsArePlausible(m_fd)) {
        close();
        return malformedHeader();
    }
    if (m_fd >= 0) {
        m_file = sf_open_fd(m_fd, SFM_READ, &info, SF_FALSE);
    } else {
        // The library's own words for why the file cannot be opened.
        m_file = sf_open(native.constData(), SFM_READ, &info);
    }
    if (!m_file) {
        close();
        return libraryError(nullptr);
    }
    m_frames = std::max<sf_count_t>(info.frames, 0);
    m_channels = std::max(info.channels, 1);
    m_sampleRate = info.samplerate;
    m_format = info.format;
    return std::nullopt;
}

std::int64_t WavReader::length() const {
    return m_frames;
}

int WavReader::channels() const {
    return m_channels;
}

int WavReader::sampleRate() const {
    return m_sampleRate;
}

bool WavReader::isPcm16() const {
    return (m_format & SF_FORMAT_SUBMASK) == SF_FORMAT_PCM_16;
}

int WavReader::clampChannel(std::int64_t wanted) const {
    return static_cast<int>(std::clamp<std::int64_t>(wanted, 0, m_channels - 1));
}

std::optional<CorvaleError> WavReader::seek(std::int64_t frame) {
    if (sf_seek(m_file, frame, SEEK_SET) < 0)
        return libraryError(m_file);
    return std::nullopt;
}

bool WavReader::allocate(std::int64_t frames) {
    if (frames < 1)
        return false;
    const auto values = static_cast<std::size_t>(frames) * static_cast<std::size_t>(m_channels);
    m_shorts.reset();
    m_floats.reset();
    if (isPcm16())
        m_shorts.reset(new (std::nothrow) short[values]);
    else
        m_floats.reset(new (std::nothrow) float[values]);
    m_capacity = (m_shorts || m_floats) ? frames : 0;
    m_delivered = 0;
    return m_capacity > 0;
}

Result<std::int64_t> WavReader::read(std::int64_t frames) {
    frames = std::min(frames, m_capacity);
    // 16-bit files are read as shorts: libsndfile then fills the buffer with one read() instead
    // of many small ones through its own conversion buffer.
    const sf_count_t got = m_shorts ? sf_readf_short(m_file, m_shorts.get(), frames)
                                    : sf_readf_float(m_file, m_floats.get(), frames);
    if (got < frames && sf_error(m_file) != SF_ERR_NO_ERROR)
        return libraryError(m_file);
    m_delivered = std::max<sf_count_t>(got, 0);
    return m_delivered;
}

void WavReader::extractChannel(int channel, float* out) const {
    const std::int64_t stride = m_channels;
    const std::int64_t count = m_delivered;
    if (m_shorts) {
        const short* in = m_shorts.get() + channel;
        // A separate one-channel loop so that the common mono case vectorises.
        if (stride == 1) {
            for (std::int64_t i = 0; i < count; ++i)
                out[i] = static_cast<float>(in[i]) * kShortScale;
        } else {
            for (std::int64_t i = 0; i < count; ++i)
                out[i] = static_cast<float>(in[i * stride]) * kShortScale;
        }
    } else {
        const float* in = m_floats.get() + channel;
        for (std::int64_t i = 0; i < count; ++i)
            out[i] = in[i * stride];
    }
}

void WavReader::extractMixOfFirstTwo(float* out) const {
    const std::int64_t stride = m_channels;
    const std::int64_t second = std::min(m_channels - 1, 1);
    const std::int64_t count = m_delivered;
    for (std::int64_t i = 0; i < count; ++i) {
        const std::int64_t at = i * stride;
        const float a = m_shorts ? static_cast<float>(m_shorts[at]) * kShortScale : m_floats[at];
        const float b = m_shorts ? static_cast<float>(m_shorts[at + second]) * kShortScale
                                 : m_floats[at + second];
        out[i] = (a + b) * 0.5f;
    }
}

std::optional<WavReader::RawPcm16> WavReader::rawPcm16Mono() const {
    const int major = m_format & SF_FORMAT_TYPEMASK;
    if (!m_file || m_fd < 0 || m_channels != 1 || !isPcm16() || m_frames < 2 ||
        (major != SF_FORMAT_WAV && major != SF_FORMAT_WAVEX && major != SF_FORMAT_RF64))
        return std::nullopt;
    // RIFX files hold big-endian samples.
    char magic[4] = {};
    if (::pread(m_fd, magic, sizeof magic, 0) != sizeof magic ||
        (std::memcmp(magic, "RIFF", 4) != 0 && std::memcmp(magic, "RF64", 4) != 0))
        return std::nullopt;
    // The library reads straight from the descriptor and seeks it to a frame's first byte; two
    // frames one apart must land two bytes apart, or the layout is not the plain one.
    const std::int64_t before = sf_seek(m_file, 0, SEEK_CUR);
    sf_seek(m_file, 1, SEEK_SET);
    const off_t second = ::lseek(m_fd, 0, SEEK_CUR);
    sf_seek(m_file, 0, SEEK_SET);
    const off_t first = ::lseek(m_fd, 0, SEEK_CUR);
    const bool restored = before >= 0 && sf_seek(m_file, before, SEEK_SET) == before;
    struct stat status {};
    if (!restored || first < 12 || second != first + 2 || ::fstat(m_fd, &status) != 0)
        return std::nullopt;
    const std::int64_t present = (std::int64_t(status.st_size) - first) / 2;
    return RawPcm16{m_fd, first, std::min(m_frames, present)};
}

} // namespace corvale
