// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "corvaleerror.h"
#include "result.h"

#include <QString>

#include <cstdint>
#include <memory>
#include <optional>

// libsndfile's handle, as sndfile.h declares it.
struct sf_private_tag;

namespace corvale {

// One WAV file open for reading, through one bounded buffer of interleaved frames. Positions,
// lengths and capacities are in frames (one sample of every channel). 16-bit PCM, what the
// conversion step writes, is read as integers; any other encoding as floats. Either way the
// float value of a sample is what libsndfile's float read gives (a 16-bit v reads as
// v / 32768, exactly). Not copyable; one reader per thread.
class WavReader {
public:
    WavReader();
    ~WavReader();
    WavReader(const WavReader&) = delete;
    WavReader& operator=(const WavReader&) = delete;

    // Errors: the library's open error, passed on.
    [[nodiscard]] std::optional<CorvaleError> open(const QString& path);

    // Frames the file holds, as far as the library can tell (a header that promises more than
    // the file holds is cut to the data present). 0 before open.
    [[nodiscard]] std::int64_t length() const;
    [[nodiscard]] int channels() const; // at least 1
    [[nodiscard]] int sampleRate() const;
    [[nodiscard]] bool isPcm16() const;
    // wanted clamped to 0 ... channels() - 1: a channel beyond the last selects the last.
    [[nodiscard]] int clampChannel(std::int64_t wanted) const;

    // Sets the read position (0 ... length()). Errors: the library's, passed on.
    [[nodiscard]] std::optional<CorvaleError> seek(std::int64_t frame);

    // Makes the read buffer hold `frames` frames (>= 1); false when it cannot be had.
    [[nodiscard]] bool allocate(std::int64_t frames);
    // Reads up to `frames` frames (at most the buffer's capacity) from the read position into
    // the buffer; the count read, 0 at the end of the data. Errors: the library's, passed on.
    [[nodiscard]] Result<std::int64_t> read(std::int64_t frames);
    // The frames last read, interleaved: shorts() for 16-bit files, floats() otherwise.
    [[nodiscard]] const short* shorts() const { return m_shorts.get(); }
    [[nodiscard]] const float* floats() const { return m_floats.get(); }
    // One channel (0 ... channels() - 1) of the frames last read, as floats into out.
    void extractChannel(int channel, float* out) const;
    // (first + second channel) / 2 of the frames last read; a one-channel file gives itself.
    void extractMixOfFirstTwo(float* out) const;

    // Where a 16-bit mono file's samples lie as plain little-endian bytes, so that they can be
    // copied without decoding: frame f is the two bytes at offset + 2 f of descriptor fd, for
    // f < frames. Nothing for any other layout. fd stays valid while the reader is open.
    struct RawPcm16 {
        int fd = -1;
        std::int64_t offset = 0;
        std::int64_t frames = 0;
    };
    [[nodiscard]] std::optional<RawPcm16> rawPcm16Mono() const;

private:
    void close();

    sf_private_tag* m_file = nullptr;
    int m_fd = -1;
    std::int64_t m_frames = 0;
    int m_channels = 1;
    int m_sampleRate = 0;
    int m_format = 0;
    std::unique_ptr<short[]> m_shorts;
    std::unique_ptr<float[]> m_floats;
    std::int64_t m_capacity = 0;
    std::int64_t m_delivered = 0;
};

} // namespace corvale
