// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "result.h"

#include <QString>

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace corvale {

// Short excerpts of one channel of a WAV file, read on demand with one buffer whose size is
// fixed when the file is opened: the fine alignment reads a few seconds at a time, anywhere
// in files of any length, without holding them.
class WindowReader {
public:
    enum class Mix { channel, sumOfFirstTwo };

    WindowReader();
    ~WindowReader();
    WindowReader(const WindowReader&) = delete;
    WindowReader& operator=(const WindowReader&) = delete;

    // channel is clamped to the file's channels; sumOfFirstTwo gives (first + second) / 2
    // (a one-channel file gives itself). Errors: the library's open error, cannotReadAudio
    // when the buffer cannot be had.
    [[nodiscard]] Result<Done> open(const QString& path, Mix mix, std::int64_t channel,
                                    std::int64_t maxFrames);

    [[nodiscard]] std::int64_t frames() const { return m_frames; }

    // count frames from start (count at most maxFrames). Frames before the file's start or
    // past its end read as zeros. The span stays valid until the next read.
    [[nodiscard]] Result<std::span<const float>> read(std::int64_t start, std::int64_t count);

private:
    struct File;
    std::unique_ptr<File> m_file;
    Mix m_mix = Mix::channel;
    int m_channel = 0;
    int m_channels = 1;
    std::int64_t m_frames = 0;
    std::int64_t m_capacity = 0;
    std::vector<float> m_interleaved;
    std::vector<float> m_out;
};

} // namespace corvale
