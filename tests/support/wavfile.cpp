// SPDX-License-Identifier: GPL-3.0-or-later
#include "wavfile.h"
#include "testenv.h"

#include <QProcess>
#include <QRegularExpression>

#include <limits>

#include <sndfile.h>

namespace corvale::test {

bool writeWav(const QString& path, std::span<const float> interleaved, int channels,
              int sampleRate) {
    SF_INFO info{};
    info.channels = channels;
    info.samplerate = sampleRate;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* file = sf_open(path.toLocal8Bit().constData(), SFM_WRITE, &info);
    if (!file)
        return false;
    sf_command(file, SFC_SET_CLIPPING, nullptr, SF_TRUE);
    const sf_count_t frames = static_cast<sf_count_t>(interleaved.size()) / channels;
    const bool ok = sf_writef_float(file, interleaved.data(), frames) == frames;
    return sf_close(file) == 0 && ok;
}

WavContents readWav(const QString& path) {
    WavContents out;
    SF_INFO info{};
    SNDFILE* file = sf_open(path.toLocal8Bit().constData(), SFM_READ, &info);
    if (!file)
        return out;
    out.channels = info.channels;
    out.sampleRate = info.samplerate;
    out.samples.resize(static_cast<std::size_t>(info.frames * info.channels));
    out.frames = sf_readf_float(file, out.samples.data(), info.frames);
    out.samples.resize(static_cast<std::size_t>(out.frames * info.channels));
    sf_close(file);
    out.ok = true;
    return out;
}

bool encodeWithFFmpeg(const QString& wavPath, const QString& outputPath,
                      const QStringList& extraArgs) {
    QProcess p;
    QStringList args{"-y", "-loglevel", "error", "-i", wavPath};
    args += extraArgs;
    args << outputPath;
    p.start(realFFmpeg(), args);
    return p.waitForFinished(600000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

double ffmpegLoudness(const QString& path, FFmpegLoudness filter) {
    const bool loudnorm = filter == FFmpegLoudness::loudnorm;
    QProcess p;
    p.start(realFFmpeg(), {"-hide_banner", "-nostats", "-i", path, "-af",
                           loudnorm ? "loudnorm=print_format=json"
                                    : "ebur128=metadata=1,ametadata=mode=print:"
                                      "key=lavfi.r128.I:file=/dev/stdout",
                           "-f", "null", "-"});
    if (!p.waitForFinished(600000) || p.exitCode() != 0)
        return std::numeric_limits<double>::quiet_NaN();
    // loudnorm's report ends its log; the ebur128 filter's running figure is final on its
    // last frame.
    const QString text =
        QString::fromUtf8(loudnorm ? p.readAllStandardError() : p.readAllStandardOutput());
    const QRegularExpression pattern(loudnorm ? QStringLiteral("\"input_i\" : \"([^\"]+)\"")
                                              : QStringLiteral("lavfi.r128.I=(\\S+)"));
    QString figure;
    for (auto it = pattern.globalMatch(text); it.hasNext();)
        figure = it.next().captured(1);
    if (figure == QStringLiteral("-inf") || figure == QStringLiteral("-70.000"))
        return -std::numeric_limits<double>::infinity();
    bool ok = false;
    const double lufs = figure.toDouble(&ok);
    return ok ? lufs : std::numeric_limits<double>::quiet_NaN();
}

} // namespace corvale::test
