// SPDX-License-Identifier: GPL-3.0-or-later
#include "wavfile.h"
#include "testenv.h"

#include <QProcess>

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

} // namespace corvale::test
