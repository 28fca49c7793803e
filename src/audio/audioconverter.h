// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "result.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>
#include <stop_token>

class QObject;

namespace corvale {

struct ConversionRequest {
    QString input;     // source media file
    QString outputDir; // folder for the WAV
    QString suffix;    // "_ref", "_ind0", ...
    bool stereo = false;
    double sampleRate = 44100.0;
};

// Converts any media file to 16-bit PCM WAV with the external ffmpeg.
class AudioConverter {
public:
    explicit AudioConverter(QString ffmpegPath) : m_ffmpegPath(std::move(ffmpegPath)) {}
    [[nodiscard]] const QString& ffmpegPath() const { return m_ffmpegPath; }

    // outputDir / (input's name without its last extension) + suffix + ".wav"
    [[nodiscard]] static QString outputPath(const ConversionRequest& request);
    [[nodiscard]] static QStringList arguments(const ConversionRequest& request);

    // Asynchronous; done runs on the calling thread (which must run an event loop) with the
    // WAV's path, conversionFailed with the tool's error text, the start error passed on, or
    // cancelled when stop was requested before the start. Stop while running sends SIGTERM.
    // progress, when given, is told on the same thread how many seconds of the input are
    // converted so far (ffmpeg's own progress report).
    void convertToWAV(const ConversionRequest& request, std::stop_token stop, QObject* context,
                      std::function<void(Result<QString>)> done,
                      std::function<void(double seconds)> progress = {}) const;

    // The seconds converted in a chunk of ffmpeg's "-progress" report (its last out_time_us
    // line), or nothing when the chunk holds none.
    [[nodiscard]] static std::optional<double> progressSeconds(const QByteArray& chunk);

private:
    QString m_ffmpegPath;
};

} // namespace corvale
