// SPDX-License-Identifier: GPL-3.0-or-later
// Generated sessions with known placements, for tests and benchmarks that run the real ffmpeg:
// a reference of a whole conversation, one participant's own recording of it, short clips cut
// from that recording, and two files that belong nowhere in it.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace corvale::test {

// Runs program to its end; its standard output goes to *out. False, with the tool's error text
// on stderr, unless it exits with 0.
bool runProgram(const QString& program, const QStringList& args, QByteArray* out = nullptr);

// The first channel of a sound file as floats; empty when it cannot be read.
[[nodiscard]] std::vector<float> readMono(const QString& path, int* rate = nullptr);

// count samples of a recorder on its own clock: sample i holds signal at position
// first + i * ratio, by cubic interpolation; zero outside the signal.
[[nodiscard]] std::vector<float> recordOnClock(std::span<const float> signal, double first,
                                               double ratio, std::int64_t count);

// Converts input to wav with the run's own ffmpeg arguments (16-bit mono at rate). seconds > 0
// stops the output after that long, which leaves its timing as it is.
bool convertAsRun(const QString& input, const QString& wav, int rate, double seconds = 0.0);

// The delay d of decoded against the clean samples it was made from (decoded sample j holds
// clean sample j - d) within ±maxLag, by plain cross-correlation refined by a parabola; no
// value when nothing correlates.
[[nodiscard]] std::optional<double> measureDelay(std::span<const float> decoded,
                                                 std::span<const float> clean,
                                                 std::int64_t maxLag = 4096);

// Start of the loudest block of length samples of clean in [from, to − length], on a grid of
// step (energy summed over every fourth sample).
[[nodiscard]] std::int64_t loudestBlock(std::span<const float> clean, std::int64_t from,
                                        std::int64_t to, std::int64_t length, std::int64_t step);

struct ClipPlace {
    double startSeconds; // in the participant's recording
    double seconds;
};

struct GeneratedClip {
    QString path;
    // Reference sample (at the session's rate, fractional) that the file's first sample lines
    // up with, both as the run sees them once converted.
    double trueOffsetSamples = 0.0;
    double codecDelaySamples = 0.0; // measured: the converted file lags its clean samples by this
};

struct ClipSession {
    QString reference;                // the mix of all voices, AAC in .m4a
    GeneratedClip track;              // the participant's whole recording, 16-bit WAV
    std::vector<GeneratedClip> clips; // MP3, every third one a 16-bit WAV
    QString otherConversation;        // 20 s of a voice from another conversation (MP3)
    QString noise;                    // 20 s of room noise (WAV)
    int rate = 0;
    double trackClockPpm = 0.0;         // reference samples per participant sample − 1
    double referenceDelaySamples = 0.0; // measured, as for a clip
};

// Writes a session of `minutes` at `rate` into folder, or reuses the one a call with the same
// arguments left there. The participant (the host of three voices) speaks through another
// microphone, over a little room noise, on a clock 60 ppm off the reference's.
[[nodiscard]] std::optional<ClipSession> makeClipSession(const QString& folder, double minutes,
                                                         int rate,
                                                         const std::vector<ClipPlace>& clips,
                                                         std::uint32_t seed);

} // namespace corvale::test
