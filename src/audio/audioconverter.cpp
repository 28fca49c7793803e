// SPDX-License-Identifier: GPL-3.0-or-later
#include "audioconverter.h"

#include "toolrunner.h"
#include "wavreader.h"

#include <QDir>
#include <QFileInfo>
#include <QStringDecoder>

#include <cmath>
#include <limits>

namespace corvale {
namespace {

// The text after the last dot of the file name; a leading dot marks a hidden name, not an
// extension.
qsizetype extensionDot(const QString& fileName) {
    const qsizetype dot = fileName.lastIndexOf(QLatin1Char('.'));
    return dot > 0 ? dot : -1;
}

bool needsIgnoreEditList(const QString& input) {
    const QString name = QFileInfo(input).fileName();
    const qsizetype dot = extensionDot(name);
    if (dot < 0)
        return false;
    const QString extension = name.mid(dot + 1).toLower();
    return extension == u"mp4" || extension == u"m4a" || extension == u"m4v" || extension == u"mov";
}

QString wholeHertz(double sampleRate) {
    // The run always passes a probed rate; anything else is the caller's mistake.
    Q_ASSERT(std::isfinite(sampleRate));
    Q_ASSERT(std::trunc(sampleRate) >= static_cast<double>(std::numeric_limits<qint64>::min()) &&
             std::trunc(sampleRate) < static_cast<double>(std::numeric_limits<qint64>::max()));
    return QString::number(static_cast<qint64>(std::trunc(sampleRate)));
}

QString errorText(const QByteArray& bytes) {
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder.decode(bytes);
    if (decoder.hasError())
        return QStringLiteral("unknown error");
    return text;
}

// A tool that says it succeeded is believed only when it left what was asked for: a wrapper
// or a broken build can exit 0 having written text, or nothing, and that must never be read as
// audio, let alone published as a copy of the reference.
Result<QString> checkedOutput(const QString& output, const ConversionRequest& request) {
    WavReader reader;
    if (reader.open(output) || !reader.isPcm16() || reader.channels() != (request.stereo ? 2 : 1) ||
        reader.sampleRate() != static_cast<int>(std::trunc(request.sampleRate)))
        return CorvaleError::conversionFailed(
            QStringLiteral("ffmpeg reported success but wrote no readable 16-bit WAV"));
    return output;
}

} // namespace

QString AudioConverter::outputPath(const ConversionRequest& request) {
    QString name = QFileInfo(request.input).fileName();
    if (const qsizetype dot = extensionDot(name); dot >= 0)
        name.truncate(dot);
    return QDir(request.outputDir).filePath(name + request.suffix + QStringLiteral(".wav"));
}

QStringList AudioConverter::arguments(const ConversionRequest& request) {
    QStringList args{QStringLiteral("-y"), QStringLiteral("-loglevel"), QStringLiteral("error")};
    if (needsIgnoreEditList(request.input))
        args << QStringLiteral("-ignore_editlist") << QStringLiteral("1");
    args << QStringLiteral("-i") << request.input;
    // Convert the first audio stream, the one whose rate and channels were probed; left to
    // itself ffmpeg picks the stream it deems best.
    args << QStringLiteral("-map") << QStringLiteral("0:a:0");
    args << QStringLiteral("-ar") << wholeHertz(request.sampleRate);
    if (request.stereo)
        args << QStringLiteral("-ac") << QStringLiteral("2");
    else
        args << QStringLiteral("-filter:a") << QStringLiteral("pan=mono|c0=c0");
    args << QStringLiteral("-c:a") << QStringLiteral("pcm_s16le") << QStringLiteral("-vn")
         << outputPath(request);
    return args;
}

std::optional<double> AudioConverter::progressSeconds(const QByteArray& chunk) {
    std::optional<double> seconds;
    for (const QByteArray& line : chunk.split('\n')) {
        if (!line.startsWith("out_time_us="))
            continue;
        bool ok = false;
        const qlonglong us = line.mid(12).trimmed().toLongLong(&ok);
        if (ok && us >= 0)
            seconds = double(us) / 1e6;
    }
    return seconds;
}

void AudioConverter::convertToWAV(const ConversionRequest& request, std::stop_token stop,
                                  QObject* context, std::function<void(Result<QString>)> done,
                                  std::function<void(double seconds)> progress) const {
    ToolInvocation invocation{m_ffmpegPath, arguments(request)};
    if (progress) {
        // The report goes to standard output; the error stream keeps only errors.
        invocation.arguments.insert(0, QStringLiteral("-nostats"));
        invocation.arguments.insert(0, QStringLiteral("pipe:1"));
        invocation.arguments.insert(0, QStringLiteral("-progress"));
        invocation.onOutput = [progress = std::move(progress)](const QByteArray& chunk) {
            if (const auto seconds = progressSeconds(chunk))
                progress(*seconds);
        };
    }
    runTool(invocation, std::move(stop), context,
            [output = outputPath(request), request,
             done = std::move(done)](const ToolOutcome& outcome) {
                if (outcome.cancelled)
                    done(CorvaleError::cancelled());
                else if (!outcome.started)
                    done(CorvaleError::passedOn(outcome.startError));
                else if (outcome.exitStatus == 0)
                    done(checkedOutput(output, request));
                else
                    done(CorvaleError::conversionFailed(errorText(outcome.errorOutput)));
            });
}

} // namespace corvale
