// SPDX-License-Identifier: GPL-3.0-or-later
#include "loudnessnormalizer.h"

#include "toolrunner.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMetaObject>
#include <QStringDecoder>

#include <array>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>

namespace corvale {
namespace {

constexpr double gainThresholdLU = 0.5;

NormalizerError errorOf(NormalizerError::Kind kind, QString detail = {}) {
    NormalizerError error;
    error.kind = kind;
    error.detail = std::move(detail);
    return error;
}

// Failures found before any process starts still reach the caller through the event loop, so
// the callback never runs inside the call that asked for it.
template <typename T>
void postResult(QObject* context, std::function<void(NormalizerResult<T>)> done,
                NormalizerResult<T> result) {
    QObject* receiver = context != nullptr ? context : new QObject;
    QMetaObject::invokeMethod(
        receiver, [done = std::move(done), result = std::move(result)] { done(result); },
        Qt::QueuedConnection);
    if (context == nullptr)
        receiver->deleteLater();
}

QString utf8OrEmpty(const QByteArray& bytes) {
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder.decode(bytes);
    return decoder.hasError() ? QString() : text;
}

// The whole text must be one decimal number: no blanks, no extra characters, "." as the
// separator whatever the locale. from_chars neither reads the locale nor accepts a "+".
std::optional<double> strictDouble(const QString& text) {
    QByteArray bytes = text.toUtf8();
    if (bytes.startsWith('+')) {
        bytes.remove(0, 1);
        if (bytes.startsWith('-') || bytes.startsWith('+'))
            return std::nullopt;
    }
    if (bytes.isEmpty())
        return std::nullopt;
    double value = 0.0;
    const char* begin = bytes.constData();
    const char* end = begin + bytes.size();
    const auto [ptr, ec] = std::from_chars(begin, end, value, std::chars_format::general);
    if (ec != std::errc() || ptr != end)
        return std::nullopt;
    return value;
}

} // namespace

QString LoudnessNormalizer::formatTarget(double target) {
    std::array<char, 64> buffer{};
    const auto [end, ec] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), target);
    QString text = QString::fromLatin1(buffer.data(), ec == std::errc() ? end - buffer.data() : 0);
    if (std::isfinite(target) && !text.contains(QLatin1Char('.')) &&
        !text.contains(QLatin1Char('e')))
        text += QStringLiteral(".0");
    return text;
}

QString LoudnessNormalizer::volumeFilter(double gainDb) {
    std::array<char, 400> buffer{}; // %.4f of the largest double needs about 315 characters
    const auto [end, ec] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), gainDb,
                                         std::chars_format::fixed, 4);
    const QString number =
        QString::fromLatin1(buffer.data(), ec == std::errc() ? end - buffer.data() : 0);
    return QStringLiteral("volume=") + number + QStringLiteral("dB");
}

QStringList LoudnessNormalizer::measureArguments(const QString& path, double target) {
    return {QStringLiteral("-i"),
            path,
            QStringLiteral("-af"),
            QStringLiteral("loudnorm=I=") + formatTarget(target) +
                QStringLiteral(":TP=-1.5:LRA=11:print_format=json"),
            QStringLiteral("-f"),
            QStringLiteral("null"),
            QStringLiteral("-")};
}

QStringList LoudnessNormalizer::gainArguments(const QString& path, double gainDb,
                                              const QString& temporaryPath) {
    return {QStringLiteral("-i"), path,         QStringLiteral("-af"), volumeFilter(gainDb),
            QStringLiteral("-y"), temporaryPath};
}

QString LoudnessNormalizer::temporaryPathFor(const QString& path) {
    const QFileInfo info(path);
    const QString name = info.fileName();
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    // A leading dot marks a hidden name, not an extension; a name without an extension gets
    // ".norm-tmp" appended.
    const QString temporaryName = dot > 0
                                      ? name.left(dot) + QStringLiteral(".norm-tmp") + name.mid(dot)
                                      : name + QStringLiteral(".norm-tmp");
    return QDir(info.path()).filePath(temporaryName);
}

NormalizerResult<double> LoudnessNormalizer::parseMeasurement(const QString& text) {
    using Kind = NormalizerError::Kind;
    const qsizetype close = text.lastIndexOf(QLatin1Char('}'));
    if (close < 0)
        return errorOf(Kind::noMeasurementJSON);
    const qsizetype open = close > 0 ? text.lastIndexOf(QLatin1Char('{'), close - 1) : -1;
    if (open < 0)
        return errorOf(Kind::noMeasurementJSON);

    QJsonParseError parseError{};
    const QJsonDocument document =
        QJsonDocument::fromJson(text.mid(open, close - open + 1).toUtf8(), &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject())
        return errorOf(Kind::jsonParseFailed);
    const QJsonObject report = document.object();
    for (auto it = report.constBegin(); it != report.constEnd(); ++it) {
        if (!it.value().isString())
            return errorOf(Kind::jsonParseFailed);
    }
    const auto measured = strictDouble(report.value(QStringLiteral("input_i")).toString());
    // A silent file measures "-inf"; a gain computed from it would be infinite.
    if (!measured || !std::isfinite(*measured))
        return errorOf(Kind::jsonParseFailed);
    return *measured;
}

void LoudnessNormalizer::runFFmpeg(const QStringList& args, std::stop_token stop, QObject* context,
                                   std::function<void(NormalizerResult<QString>)> done) const {
    runTool({m_ffmpegPath, args}, std::move(stop), context,
            [done = std::move(done)](const ToolOutcome& outcome) {
                using Kind = NormalizerError::Kind;
                if (outcome.cancelled) {
                    done(errorOf(Kind::cancelled));
                } else if (!outcome.started) {
                    done(errorOf(Kind::startFailed, outcome.startError));
                } else if (outcome.exitStatus != 0) {
                    NormalizerError error = errorOf(Kind::ffmpegFailed);
                    error.exitStatus = outcome.exitStatus;
                    done(error);
                } else {
                    done(utf8OrEmpty(outcome.errorOutput));
                }
            });
}

void LoudnessNormalizer::measureLoudness(const QString& path, double target, std::stop_token stop,
                                         QObject* context,
                                         std::function<void(NormalizerResult<double>)> done) const {
    runFFmpeg(measureArguments(path, target), std::move(stop), context,
              [done = std::move(done)](const NormalizerResult<QString>& output) {
                  if (!output)
                      done(output.error());
                  else
                      done(parseMeasurement(output.value()));
              });
}

void LoudnessNormalizer::applyGain(const QString& path, double gainDb, std::stop_token stop,
                                   QObject* context,
                                   std::function<void(NormalizerResult<Done>)> done) const {
    if (!std::isfinite(gainDb)) {
        postResult<Done>(context, std::move(done), errorOf(NormalizerError::Kind::jsonParseFailed));
        return;
    }
    const QString temporary = temporaryPathFor(path);
    runFFmpeg(
        gainArguments(path, gainDb, temporary), stop, context,
        [path, temporary, stop, done = std::move(done)](const NormalizerResult<QString>& output) {
            if (!output) {
                // A stopped pass leaves no half-written file in the user's folder.
                if (stop.stop_requested())
                    QFile::remove(temporary);
                done(output.error());
                return;
            }
            // One rename replaces the file atomically: at every moment either the
            // original or the processed copy is under the file's name. QFile::rename
            // refuses to overwrite, so the system call is used.
            if (std::rename(QFile::encodeName(temporary).constData(),
                            QFile::encodeName(path).constData()) != 0) {
                done(errorOf(NormalizerError::Kind::fileSystem, qt_error_string(errno)));
                return;
            }
            done(Done{});
        });
}

void LoudnessNormalizer::normalize(const QString& path, double target, std::stop_token stop,
                                   QObject* context,
                                   std::function<void(NormalizerResult<Done>)> done) const {
    measureLoudness(path, target, stop, context,
                    [self = *this, path, target, stop, context,
                     done = std::move(done)](const NormalizerResult<double>& measured) mutable {
                        if (!measured) {
                            done(measured.error());
                            return;
                        }
                        const double gain = target - measured.value();
                        if (!(std::abs(gain) > gainThresholdLU)) {
                            done(Done{});
                            return;
                        }
                        self.applyGain(path, gain, std::move(stop), context, std::move(done));
                    });
}

} // namespace corvale
