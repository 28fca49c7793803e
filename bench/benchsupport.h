// SPDX-License-Identifier: GPL-3.0-or-later
// What the benchmarks share: best-of timing and long generated inputs.
#pragma once

#include "demo/speechgen.h"

#include <QFile>
#include <QString>

#include <sndfile.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <type_traits>

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

} // namespace corvale::bench
