// SPDX-License-Identifier: GPL-3.0-or-later
#include "ffmpeglocator.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <sndfile.h>

namespace corvale {
namespace {

constexpr int probeTimeoutMs = 30000;
constexpr double fallbackSampleRate = 44100.0;

struct SndfileFormat {
    int sampleRate = 0;
    int channels = 0;
};

// libsndfile's view of the file, or nothing when it cannot open it.
std::optional<SndfileFormat> sndfileFormat(const QString& path) {
    SF_INFO info{};
    SNDFILE* file = sf_open(QFile::encodeName(path).constData(), SFM_READ, &info);
    if (file == nullptr)
        return std::nullopt;
    sf_close(file);
    return SndfileFormat{info.samplerate, info.channels};
}

// One integer field of the first audio stream as ffprobe reports it, or nothing.
std::optional<long long> probeFirstAudioStream(const QString& path, const QString& ffprobePath,
                                               const QString& field) {
    if (ffprobePath.isEmpty())
        return std::nullopt;
    QProcess probe;
    probe.setStandardInputFile(QProcess::nullDevice());
    probe.setStandardErrorFile(QProcess::nullDevice());
    probe.start(ffprobePath,
                {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-select_streams"),
                 QStringLiteral("a:0"), QStringLiteral("-show_entries"),
                 QStringLiteral("stream=") + field, QStringLiteral("-of"),
                 QStringLiteral("default=nw=1:nk=1"), QStringLiteral("-i"), path});
    if (!probe.waitForStarted(probeTimeoutMs))
        return std::nullopt;
    if (!probe.waitForFinished(probeTimeoutMs)) {
        probe.kill();
        probe.waitForFinished(1000);
        return std::nullopt;
    }
    if (probe.exitStatus() != QProcess::NormalExit || probe.exitCode() != 0)
        return std::nullopt;
    // One line per matching stream; only the first audio stream was selected.
    const QByteArray firstLine = probe.readAllStandardOutput().split('\n').value(0).trimmed();
    bool ok = false;
    const long long value = firstLine.toLongLong(&ok);
    if (!ok)
        return std::nullopt;
    return value;
}

} // namespace

QStringList ffmpegCandidates() {
    QStringList candidates;
    if (QCoreApplication::instance() != nullptr) {
        const QString appDir = QCoreApplication::applicationDirPath();
        candidates << QDir::cleanPath(appDir + QStringLiteral("/../share/corvale/ffmpeg"))
                   << QDir::cleanPath(appDir + QStringLiteral("/ffmpeg"));
    }
    candidates << QStringLiteral("/opt/homebrew/bin/ffmpeg")
               << QStringLiteral("/usr/local/bin/ffmpeg") << QStringLiteral("/usr/bin/ffmpeg");
    return candidates;
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

double probeSampleRate(const QString& path, const QString& ffprobePath) {
    if (const auto format = sndfileFormat(path); format && format->sampleRate >= 1)
        return format->sampleRate;
    if (const auto rate = probeFirstAudioStream(path, ffprobePath, QStringLiteral("sample_rate"));
        rate && *rate >= 1)
        return static_cast<double>(*rate);
    return fallbackSampleRate;
}

int probeChannelCount(const QString& path, const QString& ffprobePath) {
    if (const auto format = sndfileFormat(path); format && format->channels >= 1)
        return format->channels;
    if (const auto channels = probeFirstAudioStream(path, ffprobePath, QStringLiteral("channels"));
        channels && *channels >= 1 && *channels <= 1024)
        return static_cast<int>(*channels);
    return 1;
}

} // namespace corvale
