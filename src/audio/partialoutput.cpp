// SPDX-License-Identifier: GPL-3.0-or-later
#include "partialoutput.h"

#include "backgroundmeter.h"
#include "loudnessgain.h"

#include <QFile>
#include <QFileInfo>
#include <QtEndian>

#include <sndfile.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
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

// Frames gathered before they are written: one write per quarter megabyte spares the file
// system the per-call cost of small writes (and ext4 the zeroing of each new page's rest),
// while the buffer stays in the cache.
constexpr std::int64_t kPendingFrames = 131072;
// Bytes per copy_file_range call: large enough that the calls cost nothing, small enough that
// cancellation is seen within a few milliseconds.
constexpr std::int64_t kCopyStepBytes = std::int64_t(8) << 20;
// Frames read back at a time for the meter and the gain.
constexpr std::int64_t kReadBackFrames = 65536;

CorvaleError libraryError(SNDFILE* file) {
    return CorvaleError::passedOn(QString::fromUtf8(sf_strerror(file)));
}

// As libsndfile converts with clipping on, so that nothing written changes by a bit: the
// sample is scaled to 32 bits (full scale 2^31), rounded, clipped, and its upper half kept, so
// 16-bit inputs come back exactly, overs clip instead of wrapping around, and the rest rounds
// down. What is not a number is silence.
short toPcm16(float sample) {
    const float scaled = sample * 2147483648.0f;
    std::int32_t value = 0;
    if (scaled >= 2147483647.0f)
        value = std::numeric_limits<std::int32_t>::max();
    else if (scaled <= -2147483648.0f)
        value = std::numeric_limits<std::int32_t>::min();
    else if (!std::isnan(scaled))
        value = static_cast<std::int32_t>(std::lrintf(scaled));
    return static_cast<short>(value >> 16);
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
    // The header is written and the descriptor stands at the first frame; the frames are
    // written here, at their own positions, so that they go in large writes.
    m_dataOffset = ::lseek(m_fd, 0, SEEK_CUR);
    if (m_dataOffset < 12)
        m_kernelCopyRefused = true;
    return Done{};
}

Result<Done> PartialOutput::append(const float* samples, std::int64_t frames) {
    return gather(frames, [samples](short* into, std::int64_t from, std::int64_t count) {
        std::transform(samples + from, samples + from + count, into, toPcm16);
    });
}

Result<Done> PartialOutput::append(const short* samples, std::int64_t frames) {
    return gather(frames, [samples](short* into, std::int64_t from, std::int64_t count) {
        std::copy_n(samples + from, count, into);
    });
}

Result<Done> PartialOutput::appendSilence(std::int64_t frames) {
    return gather(frames, [](short* into, std::int64_t, std::int64_t count) {
        std::fill_n(into, count, short(0));
    });
}

template <typename Fill> Result<Done> PartialOutput::gather(std::int64_t frames, Fill&& fill) {
    if (!m_pending) {
        m_pending.reset(new (std::nothrow) short[kPendingFrames]);
        if (!m_pending)
            return CorvaleError::cannotWriteAudio(QStringLiteral("write buffer alloc"));
    }
    for (std::int64_t done = 0; done < frames;) {
        const std::int64_t count = std::min(frames - done, kPendingFrames - m_pendingFrames);
        fill(m_pending.get() + m_pendingFrames, done, count);
        m_pendingFrames += count;
        m_length += count;
        done += count;
        if (m_pendingFrames == kPendingFrames) {
            if (auto r = flush(); !r)
                return r;
        }
    }
    return Done{};
}

// Writes the gathered frames after those in the file, metering them on the way: they are
// exactly the values the file will hold.
Result<Done> PartialOutput::flush() {
    if (m_pendingFrames == 0)
        return Done{};
    const std::span<short> frames(m_pending.get(), std::size_t(m_pendingFrames));
    const std::int64_t first = m_length - m_pendingFrames;
    if (m_meter && m_metered == first) {
        m_meter->add(frames);
        m_metered += m_pendingFrames;
    }
    for (short& sample : frames)
        sample = qToLittleEndian(sample);
    m_pendingFrames = 0;
    return writeAt(reinterpret_cast<const char*>(frames.data()), 2 * std::int64_t(frames.size()),
                   m_dataOffset + 2 * first);
}

Result<Done> PartialOutput::writeAhead(std::int64_t frame, std::span<const float> samples) {
    constexpr std::size_t kPiece = 16384;
    short converted[kPiece];
    while (!samples.empty()) {
        const std::size_t count = std::min(samples.size(), kPiece);
        for (std::size_t i = 0; i < count; ++i)
            converted[i] = qToLittleEndian(toPcm16(samples[i]));
        if (auto r = writeAt(reinterpret_cast<const char*>(converted), 2 * std::int64_t(count),
                             m_dataOffset + 2 * frame);
            !r)
            return r;
        frame += std::int64_t(count);
        samples = samples.subspan(count);
    }
    return Done{};
}

Result<Done> PartialOutput::adoptAhead(std::int64_t firstFrame, std::int64_t frames) {
    if (firstFrame != m_length)
        return CorvaleError::cannotWriteAudio(QStringLiteral("write position lost"));
    if (auto r = flush(); !r)
        return r;
    m_length += frames;
    return meterUpTo(m_length);
}

Result<Done> PartialOutput::writeAt(const char* bytes, std::int64_t count, std::int64_t at) {
    std::int64_t put = 0;
    while (put < count) {
        const ssize_t n =
            ::pwrite(m_fd, bytes + put, static_cast<std::size_t>(count - put), at + put);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return systemError(n < 0 ? errno : EIO);
        put += n;
    }
    return Done{};
}

Result<std::int64_t> PartialOutput::appendCopy(int fd, std::int64_t offset, std::int64_t frames,
                                               const std::stop_token& stop) {
    if (m_kernelCopyRefused || frames < 1)
        return std::int64_t(0);
    if (auto r = flush(); !r)
        return r.error();
    const std::int64_t start = m_dataOffset + 2 * m_length;
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
    m_length += done / 2;
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
        m_meter->add({m_frames.get(), std::size_t(count)});
        m_metered += count;
    }
    return Done{};
}

Result<std::int64_t> PartialOutput::scale(double gainDb, const std::stop_token& stop,
                                          BackgroundMeter* meter) {
    if (auto r = flush(); !r)
        return r.error();
    std::int64_t clipped = 0;
    for (std::int64_t first = 0; first < m_length; first += kReadBackFrames) {
        if (stop.stop_requested())
            return CorvaleError::cancelled();
        const std::int64_t count = std::min(m_length - first, kReadBackFrames);
        if (auto read = readFrames(first, count); !read)
            return read.error();
        const std::span<short> frames(m_frames.get(), std::size_t(count));
        clipped += applyGain(frames, gainDb);
        if (meter)
            meter->add(frames);
        for (short& sample : frames)
            sample = qToLittleEndian(sample);
        if (auto r = writeAt(reinterpret_cast<const char*>(frames.data()), 2 * count,
                             m_dataOffset + 2 * first);
            !r)
            return r.error();
    }
    return clipped;
}

// The library wrote the header but none of the frames; the RIFF and data chunks are sized
// here from the file, the same two fields with the same values (each truncated to 32 bits, as
// the library does) that it writes when it writes every frame.
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
    if (auto r = flush(); !r)
        return r.error();
    const int closeError = sf_close(m_file);
    m_file = nullptr;
    if (closeError != SF_ERR_NO_ERROR)
        return CorvaleError::passedOn(QString::fromUtf8(sf_error_number(closeError)));
    if (auto r = writeLengths(); !r)
        return r.error();
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
