// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QStringList>

#include <optional>

namespace corvale {

// Where a tool is looked for, in order: ../share/corvale/NAME and NAME beside the executable
// (when an application object exists), the executable NAME on PATH, then the fixed install
// paths /opt/homebrew/bin, /usr/local/bin and /usr/bin.
[[nodiscard]] QStringList toolCandidates(const QString& name);
[[nodiscard]] QStringList ffmpegCandidates();
// The first candidate that exists.
[[nodiscard]] std::optional<QString> findFFmpeg();
[[nodiscard]] std::optional<QString> findFFmpeg(const QStringList& candidates);

// ffprobe beside the given ffmpeg (same folder), or ffmpegPath with its name replaced.
[[nodiscard]] QString ffprobeBeside(const QString& ffmpegPath);
// The executable ffprobe beside ffmpegPath, else the first executable ffprobe candidate;
// empty when there is none.
[[nodiscard]] QString findFFprobe(const QString& ffmpegPath);

// The values of ffprobe's "key=value" report ("-of default=nw=1") for the keys asked for: the
// first finite number each key has; a key with none is absent.
[[nodiscard]] QHash<QString, double> probeValues(const QByteArray& report, const QStringList& keys);

// Native sample rate and channel count, with one ffprobe run at most: libsndfile's when it can
// open the file, else those of the first audio stream as ffprobe reports them, else 44100 Hz
// and one channel. Never fails. Blocks while ffprobe runs; call it off the GUI thread.
struct AudioFormat {
    double sampleRate = 44100.0;
    int channels = 1;
    bool rateKnown = false;       // false: sampleRate is the 44100 fallback
    double durationSeconds = 0.0; // 0: not known
};
[[nodiscard]] AudioFormat probeAudioFormat(const QString& path, const QString& ffprobePath);

} // namespace corvale
