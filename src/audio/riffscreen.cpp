// SPDX-License-Identifier: GPL-3.0-or-later
#include "riffscreen.h"

#include <QFile>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace corvale {
namespace {

// Enough for any real file's top-level chunks and a list's entries; a file with more is left
// to the library unscreened rather than walked for long.
constexpr int kMaxChunks = 4096;
// The library counts a list's bytes, from the start of its body, in 32 bits.
constexpr std::int64_t kListCountLimit = 0xFFFFFFFF;

struct Chunk {
    char id[4];
    std::uint32_t size;
};

class ChunkWalker {
public:
    ChunkWalker(int fd, bool bigEndian) : m_fd(fd), m_bigEndian(bigEndian) {}

    [[nodiscard]] std::optional<Chunk> at(std::int64_t offset) const {
        unsigned char bytes[8];
        if (::pread(m_fd, bytes, sizeof bytes, offset) != sizeof bytes)
            return std::nullopt;
        Chunk chunk{};
        std::memcpy(chunk.id, bytes, 4);
        chunk.size = m_bigEndian ? std::uint32_t(bytes[4]) << 24 | std::uint32_t(bytes[5]) << 16 |
                                       std::uint32_t(bytes[6]) << 8 | bytes[7]
                                 : std::uint32_t(bytes[7]) << 24 | std::uint32_t(bytes[6]) << 16 |
                                       std::uint32_t(bytes[5]) << 8 | bytes[4];
        return chunk;
    }

    [[nodiscard]] std::optional<std::uint64_t> rf64DataSize(std::int64_t ds64Body) const {
        unsigned char bytes[8];
        if (::pread(m_fd, bytes, sizeof bytes, ds64Body + 8) != sizeof bytes)
            return std::nullopt;
        std::uint64_t size = 0;
        for (int i = 7; i >= 0; --i)
            size = size << 8 | bytes[i];
        return size;
    }

private:
    int m_fd;
    bool m_bigEndian;
};

std::int64_t padded(std::uint64_t size) {
    return std::int64_t(size + (size & 1));
}

// The entries of the list whose body (its four-byte kind, then the entries) spans [body, end).
bool listIsPlausible(const ChunkWalker& walker, std::int64_t body, std::int64_t end,
                     std::int64_t fileSize) {
    std::int64_t from = body + 4;
    for (int n = 0; n < kMaxChunks && from + 8 <= end; ++n) {
        const auto entry = walker.at(from);
        if (!entry)
            return true;
        const std::int64_t next = from + 8 + padded(entry->size);
        if (std::int64_t(entry->size) > fileSize || next - body > kListCountLimit)
            return false;
        from = next;
    }
    return true;
}

} // namespace

bool riffListsArePlausible(int fd) {
    struct stat status {};
    char magic[4];
    if (::fstat(fd, &status) != 0 || ::pread(fd, magic, sizeof magic, 0) != sizeof magic)
        return true;
    const bool rf64 = std::memcmp(magic, "RF64", 4) == 0;
    const bool bigEndian = std::memcmp(magic, "RIFX", 4) == 0;
    if (!rf64 && !bigEndian && std::memcmp(magic, "RIFF", 4) != 0)
        return true;
    const std::int64_t fileSize = status.st_size;
    const ChunkWalker walker(fd, bigEndian);
    std::optional<std::uint64_t> rf64Data;
    std::int64_t at = 12;
    for (int n = 0; n < kMaxChunks && at + 8 <= fileSize; ++n) {
        const auto chunk = walker.at(at);
        if (!chunk)
            return true;
        std::uint64_t size = chunk->size;
        if (rf64 && std::memcmp(chunk->id, "ds64", 4) == 0)
            rf64Data = walker.rf64DataSize(at + 8);
        else if (rf64 && rf64Data && size == 0xFFFFFFFF && std::memcmp(chunk->id, "data", 4) == 0)
            size = *rf64Data;
        if (std::memcmp(chunk->id, "LIST", 4) == 0 &&
            !listIsPlausible(walker, at + 8, std::min(at + 8 + padded(size), fileSize), fileSize))
            return false;
        if (size > std::uint64_t(fileSize))
            return true; // beyond the end: nothing more to screen
        at += 8 + padded(size);
    }
    return true;
}

bool riffListsArePlausible(const QString& path) {
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return true;
    const bool plausible = riffListsArePlausible(fd);
    ::close(fd);
    return plausible;
}

CorvaleError malformedHeader() {
    return CorvaleError::cannotReadAudio(
        QStringLiteral("malformed WAV header (a LIST entry longer than the file)"));
}

} // namespace corvale
