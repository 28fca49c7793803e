// SPDX-License-Identifier: GPL-3.0-or-later
#include "partialoutput.h"

#include "loudnessgain.h"
#include "loudnessmeter.h"

#include <QFile>
#include <QFileInfo>
#include <QtEndian>

#include <sndfile.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>
#include <span>
#include <system_error>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace corvale {
namespace {

constexpr std::int64_t kSilenceFrames = 220500;
// Bytes per copy_file_range call: large enough that the calls cost nothing, small enough that
// cancellation is seen within a few milliseconds.
constexpr std::int64_t kCopyStepBytes = std::int64_t(8) << 20;
// Frames read back at a time for the meter and the gain.
constexpr std::int64_t kReadBackFrames = 65536;

CorvaleError libraryError(SNDFILE* file) {
    return CorvaleError::passedOn(QString::fromUtf8(sf_strerror(file)));
}

CorvaleError systemError(int code) {
    return CorvaleError::passedOn(
        QString::fromStdString(std::error_code(code, std::generic_category()).message()));
}

// The kernel cannot copy between these two files (different file systems on an old kernel, a
// file system without support); reading and writing here still can.
bool refusedByKernel(int code) {
    return code == EXDEV || code == ENOSYS || code == EINVAL || code == EOPNOTSUPP;
}

} // namespace

PartialOutput::PartialOutput(UnpublishedFile::Kind kind) : m_kind(kind) {}

PartialOutput::~PartialOutput() {
    discard();
}

Result<Done> PartialOutput::create(const QString& finalPath, int sampleRate) {
    m_finalPath = QFile::encodeName(QFileInfo(finalPath).absoluteFilePath());
    if (const int error = m_unpublished.create(finalPath, m_kind); error != 0)
        return systemError(error);
    m_fd = m_unpublished.fd();

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
    // The header is written and the descriptor stands at the first frame; the library writes
    // frames at the descriptor's position from here on.
    m_dataOffset = ::lseek(m_fd, 0, SEEK_CUR);
    if (m_dataOffset < 12)
        m_kernelCopyRefused = true;
    return Done{};
}

Result<Done> PartialOutput::append(const float* samples, std::int64_t frames) {
    if (sf_writef_float(m_file, samples, frames) != frames)
        return libraryError(m_file);
    m_length += frames;
    if (auto r = checkPosition(); !r)
        return r;
    return meterUpTo(m_length);
}

Result<Done> PartialOutput::append(const short* samples, std::int64_t frames) {
    if (sf_writef_short(m_file, samples, frames) != frames)
        return libraryError(m_file);
    m_length += frames;
    if (auto r = checkPosition(); !r)
        return r;
    return meterUpTo(m_length);
}

Result<Done> PartialOutput::appendSilence(std::int64_t frames) {
    if (frames < 1)
        return Done{};
    if (!m_silence) {
        m_silence.reset(new (std::nothrow) float[kSilenceFrames]());
        if (!m_silence)
            return CorvaleError::cannotWriteAudio(QStringLiteral("silence buffer alloc"));
    }
    while (frames > 0) {
        const std::int64_t chunk = std::min(frames, kSilenceFrames);
        if (auto r = append(m_silence.get(), chunk); !r)
            return r;
        frames -= chunk;
    }
    return Done{};
}

// Once the kernel has appended frames the library does not know of, the library must go on
// writing after them, never over them.
Result<Done> PartialOutput::checkPosition() const {
    if (m_copiedInKernel && ::lseek(m_fd, 0, SEEK_CUR) != m_dataOffset + 2 * m_length)
        return CorvaleError::cannotWriteAudio(QStringLiteral("write position lost"));
    return Done{};
}

Result<std::int64_t> PartialOutput::appendCopy(int fd, std::int64_t offset, std::int64_t frames,
                                               const std::stop_token& stop) {
    if (m_kernelCopyRefused || frames < 1)
        return std::int64_t(0);
    const std::int64_t start = m_dataOffset + 2 * m_length;
    // The library must not have written past what it was counted for.
    if (::lseek(m_fd, 0, SEEK_CUR) != start) {
        m_kernelCopyRefused = true;
        return std::int64_t(0);
    }
    const std::int64_t bytes = 2 * frames;
    off_t from = offset;
    off_t to = start;
    std::int64_t done = 0;
    while (done < bytes) {
        if (stop.stop_requested())
            return CorvaleError::cancelled();
        const auto step = static_cast<std::size_t>(std::min(bytes - done, kCopyStepBytes));
        const ssize_t copied = ::copy_file_range(fd, &from, m_fd, &to, step, 0);
        if (copied < 0) {
            if (errno == EINTR)
                continue;
            if (!refusedByKernel(errno))
                return systemError(errno);
            m_kernelCopyRefused = true;
            break;
        }
        if (copied == 0) // the source ended early
            break;
        done += copied;
        if (auto r = meterUpTo(m_length + done / 2); !r)
            return r.error();
    }
    if (done % 2 != 0) { // the source ended inside a sample: that half is dropped
        --done;
        if (::ftruncate(m_fd, start + done) != 0)
            return systemError(errno);
    }
    if (::lseek(m_fd, start + done, SEEK_SET) < 0)
        return systemError(errno);
    m_length += done / 2;
    m_copiedInKernel = m_copiedInKernel || done > 0;
    return done / 2;
}

// Reads `count` frames (at most kReadBackFrames) from frame `first` of the file into m_frames.
Result<std::int64_t> PartialOutput::readFrames(std::int64_t first, std::int64_t count) {
    if (!m_frames) {
        m_frames.reset(new (std::nothrow) short[kReadBackFrames]);
        if (!m_frames)
            return CorvaleError::cannotWriteAudio(QStringLiteral("read-back buffer alloc"));
    }
    auto* bytes = reinterpret_cast<char*>(m_frames.get());
    const std::int64_t wanted = 2 * count;
    std::int64_t got = 0;
    while (got < wanted) {
        const ssize_t n = ::pread(m_fd, bytes + got, static_cast<std::size_t>(wanted - got),
                                  m_dataOffset + 2 * first + got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return systemError(errno);
        if (n == 0) // the file holds less than was counted
            return CorvaleError::cannotWriteAudio(QStringLiteral("write position lost"));
        got += n;
    }
    for (std::int64_t i = 0; i < count; ++i)
        m_frames[std::size_t(i)] = qFromLittleEndian(m_frames[std::size_t(i)]);
    return count;
}

Result<Done> PartialOutput::meterUpTo(std::int64_t frame) {
    while (m_meter && m_metered < frame) {
        const std::int64_t count = std::min(frame - m_metered, kReadBackFrames);
        if (auto read = readFrames(m_metered, count); !read)
            return read.error();
        if (!m_meter->add({m_frames.get(), std::size_t(count)}))
            m_meter = nullptr; // the meter keeps its failure; the file is not the worse for it
        m_metered += count;
    }
    return Done{};
}

Result<std::int64_t> PartialOutput::scale(double gainDb, const std::stop_token& stop) {
    std::int64_t clipped = 0;
    for (std::int64_t first = 0; first < m_length; first += kReadBackFrames) {
        if (stop.stop_requested())
            return CorvaleError::cancelled();
        const std::int64_t count = std::min(m_length - first, kReadBackFrames);
        if (auto read = readFrames(first, count); !read)
            return read.error();
        const std::span<short> frames(m_frames.get(), std::size_t(count));
        clipped += applyGain(frames, gainDb);
        for (short& sample : frames)
            sample = qToLittleEndian(sample);
        const auto* bytes = reinterpret_cast<const char*>(frames.data());
        std::int64_t put = 0;
        while (put < 2 * count) {
            const ssize_t n = ::pwrite(m_fd, bytes + put, static_cast<std::size_t>(2 * count - put),
                                       m_dataOffset + 2 * first + put);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return systemError(n < 0 ? errno : EIO);
            put += n;
        }
    }
    return clipped;
}

Result<Done> PartialOutput::measure(LoudnessMeter& meter, const std::stop_token& stop) {
    for (std::int64_t first = 0; first < m_length; first += kReadBackFrames) {
        if (stop.stop_requested())
            return CorvaleError::cancelled();
        const std::int64_t count = std::min(m_length - first, kReadBackFrames);
        if (auto read = readFrames(first, count); !read)
            return read.error();
        if (!meter.add({m_frames.get(), std::size_t(count)}))
            break; // the meter keeps its failure
    }
    return Done{};
}

// The library sizes the RIFF and data chunks from the frames it wrote itself; the frames the
// kernel copied are added here, the same two fields with the same values (each truncated to
// 32 bits, as the library does) that it writes when it writes every frame.
Result<Done> PartialOutput::writeLengths() {
    struct stat status {};
    if (::fstat(m_fd, &status) != 0)
        return systemError(errno);
    const std::int64_t size = status.st_size;
    char riff[4] = {};
    char data[4] = {};
    if (::pread(m_fd, riff, 4, 0) != 4 || ::pread(m_fd, data, 4, m_dataOffset - 8) != 4 ||
        std::memcmp(riff, "RIFF", 4) != 0 || std::memcmp(data, "data", 4) != 0)
        return CorvaleError::cannotWriteAudio(QStringLiteral("unexpected WAV header"));
    const auto put = [this](std::int64_t at, std::int64_t value) {
        const quint32 field = qToLittleEndian(static_cast<quint32>(value));
        return ::pwrite(m_fd, &field, sizeof field, at) == sizeof field;
    };
    if (!put(4, size - 8) || !put(m_dataOffset - 4, size - m_dataOffset))
        return systemError(errno);
    return Done{};
}

Result<QString> PartialOutput::commit(const NextName& nextName) {
    const int closeError = sf_close(m_file);
    m_file = nullptr;
    if (closeError != SF_ERR_NO_ERROR)
        return CorvaleError::passedOn(QString::fromUtf8(sf_error_number(closeError)));
    if (m_copiedInKernel) {
        if (auto r = writeLengths(); !r)
            return r.error();
    }
    m_fd = -1;
    // Never over anything that stands at the name: a name taken meanwhile gives way to the
    // next one nextName offers.
    const Published published = m_unpublished.publish(QFile::decodeName(m_finalPath), nextName);
    if (published.error == EEXIST)
        return CorvaleError::cannotWriteAudio(
            QStringLiteral("“%1” already exists").arg(QFile::decodeName(m_finalPath)));
    if (published.error != 0)
        return systemError(published.error);
    return published.path;
}

void PartialOutput::discard() {
    if (m_file)
        sf_close(m_file);
    m_file = nullptr;
    m_fd = -1;
    m_unpublished.discard();
}

} // namespace corvale
