// SPDX-License-Identifier: GPL-3.0-or-later
#include "windowreader.h"

#include "riffscreen.h"

#include <QFile>

#include <sndfile.h>

#include <algorithm>
#include <new>

namespace corvale {

struct WindowReader::File {
    SNDFILE* handle = nullptr;
    ~File() {
        if (handle)
            sf_close(handle);
    }
};

WindowReader::WindowReader() = default;
WindowReader::~WindowReader() = default;

Result<Done> WindowReader::open(const QString& path, Mix mix, std::int64_t channel,
                                std::int64_t maxFrames) {
    m_file.reset();
    if (!riffListsArePlausible(path))
        return malformedHeader();
    SF_INFO info{};
    SNDFILE* handle = sf_open(QFile::encodeName(path).constData(), SFM_READ, &info);
    if (!handle)
        return CorvaleError::passedOn(QString::fromUtf8(sf_strerror(nullptr)));
    m_file = std::make_unique<File>();
    m_file->handle = handle;
    m_mix = mix;
    m_channels = std::max(info.channels, 1);
    m_channel = int(std::clamp<std::int64_t>(channel, 0, m_channels - 1));
    m_frames = info.frames;
    m_capacity = std::max<std::int64_t>(maxFrames, 1);
    try {
        m_interleaved.assign(std::size_t(m_capacity * m_channels), 0.0f);
        m_out.assign(std::size_t(m_capacity), 0.0f);
    } catch (const std::bad_alloc&) {
        m_file.reset();
        return CorvaleError::cannotReadAudio(QStringLiteral("buffer alloc failed"));
    }
    return Done{};
}

Result<std::span<const float>> WindowReader::read(std::int64_t start, std::int64_t count) {
    if (!m_file)
        return CorvaleError::cannotReadAudio(QStringLiteral("file not open"));
    count = std::clamp<std::int64_t>(count, 0, m_capacity);
    std::fill_n(m_out.begin(), count, 0.0f);
    const std::int64_t from = std::max<std::int64_t>(start, 0);
    const std::int64_t to = std::min(start + count, m_frames);
    if (to > from) {
        if (sf_seek(m_file->handle, from, SEEK_SET) < 0)
            return CorvaleError::passedOn(QString::fromUtf8(sf_strerror(m_file->handle)));
        const sf_count_t got = sf_readf_float(m_file->handle, m_interleaved.data(), to - from);
        if (got < to - from && sf_error(m_file->handle) != SF_ERR_NO_ERROR)
            return CorvaleError::passedOn(QString::fromUtf8(sf_strerror(m_file->handle)));
        // A file shorter than its header says leaves the rest as zeros.
        float* out = m_out.data() + (from - start);
        const int second = std::min(m_channels - 1, 1);
        for (sf_count_t i = 0; i < got; ++i) {
            const float* frame = m_interleaved.data() + i * m_channels;
            out[i] =
                m_mix == Mix::sumOfFirstTwo ? (frame[0] + frame[second]) * 0.5f : frame[m_channel];
        }
    }
    return std::span<const float>(m_out.data(), std::size_t(count));
}

} // namespace corvale
