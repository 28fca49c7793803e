// SPDX-License-Identifier: GPL-3.0-or-later
// What the benchmarks share: best-of timing and long generated inputs.
#pragma once

#include "audio/audioconverter.h"
#include "demo/speechgen.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <sndfile.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <type_traits>
#include <vector>

namespace corvale::bench {

// Best of `runs`; f either returns its own time in ms or is timed whole.
template <typename F> double bestOfMs(int runs, F&& f) {
    double best = 1e300;
    for (int i = 0; i < runs; ++i) {
        const auto start = std::chrono::steady_clock::now();
        double took = 0;
        if constexpr (std::is_same_v<decltype(f()), double>) {
            took = f();
        } else {
            f();
            took =
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                    .count();
        }
        best = std::min(best, took);
    }
    return best;
}

// A 16-bit WAV of generated speech, written ten seconds at a time; a second channel carries
// another voice.
inline bool writeSpeechWav(const QString& path, int minutes, int channels, int rate,
                           std::uint32_t seed) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* file = sf_open(QFile::encodeName(path).constData(), SFM_WRITE, &info);
    if (!file)
        return false;
    sf_command(file, SFC_SET_CLIPPING, nullptr, SF_TRUE);
    bool ok = true;
    for (int block = 0; block < minutes * 6 && ok; ++block) {
        auto samples = demo::speechLike(10.0, rate, seed + std::uint32_t(block));
        const auto frames = sf_count_t(samples.size());
        if (channels == 2)
            samples = demo::interleave(
                samples, demo::speechLike(10.0, rate, seed + 5000 + std::uint32_t(block)));
        ok = sf_writef_float(file, samples.data(), frames) == frames;
    }
    return sf_close(file) == 0 && ok;
}

// The p-th quantile (0 ... 1) by the nearest-rank rule; 0 for no values.
inline double percentile(std::vector<double> v, double p) {
    if (v.empty())
        return 0.0;
    std::sort(v.begin(), v.end());
    const auto i = std::size_t(std::ceil(p * double(v.size()))) - (p > 0 ? 1 : 0);
    return v[std::min(i, v.size() - 1)];
}

// Seconds to convert every input (the first as the reference) with ffmpeg all at once, with
// the run's own arguments, into a fresh `folder` that is removed afterwards: the floor a run
// is measured against.
inline double bareConversionSeconds(const QStringList& inputs, const QString& folder, int rate) {
    QDir(folder).removeRecursively();
    QDir().mkpath(folder);
    QElapsedTimer timer;
    timer.start();
    QList<QProcess*> processes;
    for (int i = 0; i < inputs.size(); ++i) {
        const ConversionRequest request{
            inputs[i], folder, i == 0 ? QStringLiteral("_ref") : QStringLiteral("_ind%1").arg(i),
            false, double(rate)};
        auto* p = new QProcess;
        p->setStandardInputFile(QProcess::nullDevice());
        p->start(QStringLiteral("/usr/bin/ffmpeg"), AudioConverter::arguments(request));
        processes << p;
    }
    for (QProcess* p : processes) {
        p->waitForFinished(-1);
        delete p;
    }
    const double seconds = double(timer.elapsed()) / 1000.0;
    QDir(folder).removeRecursively();
    return seconds;
}

} // namespace corvale::bench
