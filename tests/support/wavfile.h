// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>
#include <QStringList>

#include <span>
#include <vector>

namespace corvale::test {

// Writes interleaved float samples as 16-bit PCM WAV (clipping on). Returns false on failure.
bool writeWav(const QString& path, std::span<const float> interleaved, int channels,
              int sampleRate);

struct WavContents {
    std::vector<float> samples; // interleaved
    int channels = 0;
    int sampleRate = 0;
    long long frames = 0;
    bool ok = false;
};
[[nodiscard]] WavContents readWav(const QString& path);

// Encodes a WAV with the real ffmpeg into another container ("x.m4a", "x.mp3", ...).
bool encodeWithFFmpeg(const QString& wavPath, const QString& outputPath,
                      const QStringList& extraArgs = {});

// A file's integrated loudness (LUFS) as the real ffmpeg measures it: loudnorm's input_i, or
// the ebur128 filter's final I. -infinity for silence; NaN when ffmpeg gave no figure.
enum class FFmpegLoudness { loudnorm, ebur128 };
[[nodiscard]] double ffmpegLoudness(const QString& path, FFmpegLoudness filter);

} // namespace corvale::test
