// SPDX-License-Identifier: GPL-3.0-or-later
#include "ffmpeglocator.h"

#include "riffscreen.h"
#include "toolrunner.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QProcess>
#include <QStandardPaths>

#include <sndfile.h>

#include <algorithm>
#include <cmath>

namespace corvale {
namespace {

constexpr int probeTimeoutMs = 30000;
constexpr double fallbackSampleRate = 44100.0;

struct SndfileFormat {
    int sampleRate = 0;
    int channels = 0;
    sf_count_t frames = 0;
};

// libsndfile's view of the file, or nothing when it cannot open it.
std::optional<SndfileFormat> sndfileFormat(const QString& path) {
    // ffprobe, and then ffmpeg's conversion, read such a file without hanging.
    if (!riffListsArePlausible(path))
        return std::nullopt;
    SF_INFO info{};
    SNDFILE* file = sf_open(QFile::encodeName(path).constData(), SFM_READ, &info);
    if (file == nullptr)
        return std::nullopt;
    sf_close(file);
    return SndfileFormat{info.samplerate, info.channels, info.frames};
}

// Fields of the first audio stream and of the container ("format" entries, such as its
// duration) as ffprobe reports them (absent when unknown).
QHash<QString, double> probeFirstAudioStream(const QString& path, const QString& ffprobePath,
                                             const QStringList& fields,
                                             const QStringList& formatFields = {}) {
    QHash<QString, double> values;
    if (ffprobePath.isEmpty())
        return values;
    QProcess probe;
    probe.setStandardInputFile(QProcess::nullDevice());
    probe.setStandardErrorFile(QProcess::nullDevice());
    bindChildToParent(probe);
    probe.start(ffprobePath,
                {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-select_streams"),
                 QStringLiteral("a:0"), QStringLiteral("-show_entries"),
                 QStringLiteral("stream=") + fields.join(QLatin1Char(',')) +
                     (formatFields.isEmpty()
                          ? QString()
                          : QStringLiteral(":format=") + formatFields.join(QLatin1Char(','))),
                 QStringLiteral("-of"), QStringLiteral("default=nw=1"), QStringLiteral("-i"),
                 path});
    if (!probe.waitForStarted(probeTimeoutMs))
        return values;
    if (!probe.waitForFinished(probeTimeoutMs)) {
        probe.kill();
        probe.waitForFinished(1000);
        return values;
    }
    if (probe.exitStatus() != QProcess::NormalExit || probe.exitCode() != 0)
        return values;
    // Only the first audio stream was selected.
    return probeValues(probe.readAllStandardOutput(), fields + formatFields);
}

} // namespace

QHash<QString, double> probeValues(const QByteArray& report, const QStringList& keys) {
    QHash<QString, double> values;
    for (const QByteArray& line : report.split('\n')) {
        const qsizetype eq = line.indexOf('=');
        if (eq <= 0)
            continue;
        const QString key = QString::fromUtf8(line.left(eq).trimmed());
        bool ok = false;
        const double value = line.mid(eq + 1).trimmed().toDouble(&ok);
        if (ok && std::isfinite(value) && keys.contains(key) && !values.contains(key))
            values.insert(key, value);
    }
    return values;
}

QStringList toolCandidates(const QString& name) {
    QStringList candidates;
    if (QCoreApplication::instance() != nullptr) {
        const QString appDir = QCoreApplication::applicationDirPath();
        candidates << QDir::cleanPath(appDir + QStringLiteral("/../share/corvale/") + name)
                   << QDir::cleanPath(appDir + QLatin1Char('/') + name);
    }
    // Where Linux users keep their tools: whatever the search path finds.
    if (const QString onPath = QStandardPaths::findExecutable(name); !onPath.isEmpty())
        candidates << onPath;
    for (const char* folder : {"/opt/homebrew/bin/", "/usr/local/bin/", "/usr/bin/"}) {
        const QString path = QString::fromLatin1(folder) + name;
        if (!candidates.contains(path))
            candidates << path;
    }
    return candidates;
}

QStringList ffmpegCandidates() {
    return toolCandidates(QStringLiteral("ffmpeg"));
}

std::optional<QString> findFFmpeg() {
    return findFFmpeg(ffmpegCandidates());
}

std::optional<QString> findFFmpeg(const QStringList& candidates) {
    for (const QString& candidate : candidates) {
        if (QFileInfo::exists(candidate))
            return candidate;
    }
    return std::nullopt;
}

QString ffprobeBeside(const QString& ffmpegPath) {
    if (ffmpegPath.isEmpty())
        return {};
    const QFileInfo info(ffmpegPath);
    return QDir(info.path()).filePath(QStringLiteral("ffprobe"));
}

QString findFFprobe(const QString& ffmpegPath) {
    // The one beside the chosen ffmpeg belongs with it; otherwise look where ffmpeg is looked for.
    const QString beside = ffprobeBeside(ffmpegPath);
    if (!beside.isEmpty() && QFileInfo(beside).isExecutable())
        return beside;
    for (const QString& candidate : toolCandidates(QStringLiteral("ffprobe"))) {
        if (QFileInfo(candidate).isExecutable())
            return candidate;
    }
    return {};
}

AudioFormat probeAudioFormat(const QString& path, const QString& ffprobePath) {
    AudioFormat format{fallbackSampleRate, 1};
    if (const auto own = sndfileFormat(path); own && own->sampleRate >= 1 && own->channels >= 1)
        return {double(own->sampleRate), own->channels, true,
                double(own->frames) / double(own->sampleRate)};
    const auto values = probeFirstAudioStream(
        path, ffprobePath, {QStringLiteral("sample_rate"), QStringLiteral("channels")},
        {QStringLiteral("duration")});
    if (const double rate = values.value(QStringLiteral("sample_rate"), 0); rate >= 1) {
        format.sampleRate = rate;
        format.rateKnown = true;
    }
    if (const double channels = values.value(QStringLiteral("channels"), 0);
        channels >= 1 && channels <= 1024)
        format.channels = static_cast<int>(channels);
    format.durationSeconds = std::max(0.0, values.value(QStringLiteral("duration"), 0.0));
    return format;
}

} // namespace corvale
