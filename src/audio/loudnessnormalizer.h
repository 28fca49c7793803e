// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "result.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <stop_token>

class QObject;

namespace corvale {

struct NormalizerError {
    enum class Kind {
        ffmpegFailed, // exitStatus set
        noMeasurementJSON,
        jsonParseFailed, // also a measurement that is not a finite number
        startFailed,     // detail: the operating system's text
        cancelled,
        fileSystem, // detail: the file-system error of the replacement
    };
    Kind kind = Kind::ffmpegFailed;
    int exitStatus = 0;
    QString detail;
    bool operator==(const NormalizerError&) const = default;
};

template <typename T> using NormalizerResult = Result<T, NormalizerError>;

// Brings a file to a target integrated loudness with ffmpeg's loudnorm (measure) and volume
// (gain) filters. Asynchronous like AudioConverter: callbacks run on the calling thread.
class LoudnessNormalizer {
public:
    explicit LoudnessNormalizer(QString ffmpegPath) : m_ffmpegPath(std::move(ffmpegPath)) {}

    void runFFmpeg(const QStringList& args, std::stop_token stop, QObject* context,
                   std::function<void(NormalizerResult<QString>)> done) const;
    void measureLoudness(const QString& path, double target, std::stop_token stop, QObject* context,
                         std::function<void(NormalizerResult<double>)> done) const;
    // Rewrites path with the gain through "<name>.norm-tmp.<ext>" and one atomic rename; if
    // the rename fails (fileSystem) the original stays and the processed copy keeps the
    // temporary name. A gain that is not finite is refused (jsonParseFailed) and no tool runs.
    void applyGain(const QString& path, double gainDb, std::stop_token stop, QObject* context,
                   std::function<void(NormalizerResult<Done>)> done) const;
    // measureLoudness, then applyGain when |target - measured| > 0.5.
    void normalize(const QString& path, double target, std::stop_token stop, QObject* context,
                   std::function<void(NormalizerResult<Done>)> done) const;

    [[nodiscard]] static QStringList measureArguments(const QString& path, double target);
    [[nodiscard]] static QStringList gainArguments(const QString& path, double gainDb,
                                                   const QString& temporaryPath);
    [[nodiscard]] static QString temporaryPathFor(const QString& path);
    // Shortest round-trip decimal keeping ".0" for whole numbers; always "." as separator.
    [[nodiscard]] static QString formatTarget(double target);
    [[nodiscard]] static QString volumeFilter(double gainDb);
    [[nodiscard]] static NormalizerResult<double> parseMeasurement(const QString& text);

private:
    QString m_ffmpegPath;
};

} // namespace corvale
