// SPDX-License-Identifier: GPL-3.0-or-later
// Reading a one-hour 48 kHz mono 16-bit WAV with loadSamples (and loadEnvelope) against
// `cat file > /dev/null`, warm cache, best of several runs. Target: loadSamples at least 80 %
// of cat's throughput. Also shown: the floor any loader returning a fresh 691 MB float list
// pays before reading a byte (allocating and first touching that memory), and loadSamples once
// the process keeps freed memory (glibc told not to return it), so that the reading itself can
// be told from the cost of the list. Each call is timed without freeing its result.
#include "audio/samplereader.h"
#include "support/speechgen.h"

#include "benchsupport.h"

#include <QFile>
#include <QTemporaryDir>

#include <sndfile.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>
#include <type_traits>
#include <vector>

#include <malloc.h>
#include <sys/resource.h>

using namespace corvale;

namespace {

constexpr int kRate = 48000;

} // namespace

int main() {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("hour.wav"));
    std::printf("writing a one-hour 48 kHz mono 16-bit WAV...\n");
    if (!bench::writeSpeechWav(path, 60, 1, kRate, 300)) {
        std::printf("could not write %s\n", qPrintable(path));
        return 1;
    }
    const double megabytes = double(QFile(path).size()) / 1e6;
    const std::string cat = "cat '" + path.toStdString() + "' > /dev/null";
    if (std::system(cat.c_str()) != 0) // warms the page cache
        return 1;

    const SyncEngine engine(kRate);
    std::size_t frames = 0;
    const double catMs = bench::bestOfMs(7, [&] {
        if (std::system(cat.c_str()) != 0)
            std::abort();
    });
    const double loadMs = bench::bestOfMs(7, [&] {
        const auto start = std::chrono::steady_clock::now();
        auto samples = loadSamples(engine, path, 0);
        const auto end = std::chrono::steady_clock::now();
        frames = samples.ok() ? samples.value().size() : 0;
        return std::chrono::duration<double, std::milli>(end - start).count();
    });
    const double freshListMs = bench::bestOfMs(7, [&] {
        const auto start = std::chrono::steady_clock::now();
        std::vector<float> list(frames);
        const auto end = std::chrono::steady_clock::now();
        if (list.size() != frames)
            std::abort();
        return std::chrono::duration<double, std::milli>(end - start).count();
    });
    std::size_t envelopeFrames = 0;
    const double envelopeMs = bench::bestOfMs(7, [&] {
        const auto envelope = loadEnvelope(engine, path, 0);
        envelopeFrames = envelope.ok() ? envelope.value().envelope.size() : 0;
    });

    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("file: %.1f MB, %zu frames, %zu envelope frames\n", megabytes, frames,
                envelopeFrames);
    std::printf("cat > /dev/null:  %7.1f ms  %7.0f MB/s\n", catMs, megabytes / catMs * 1e3);
    std::printf("loadSamples:      %7.1f ms  %7.0f MB/s  %5.1f %% of cat (target 80 %%)\n", loadMs,
                megabytes / loadMs * 1e3, catMs / loadMs * 100);
    std::printf("loadEnvelope:     %7.1f ms  %7.0f MB/s  %5.1f %% of cat\n", envelopeMs,
                megabytes / envelopeMs * 1e3, catMs / envelopeMs * 100);
    std::printf("floor: a fresh %.0f MB float list, allocated and zeroed, no file: %.1f ms\n",
                double(frames) * 4 / 1e6, freshListMs);

    // From here on freed memory stays in the heap, so each list lands in resident pages.
    mallopt(M_MMAP_MAX, 0);
    mallopt(M_TRIM_THRESHOLD, std::numeric_limits<int>::max());
    const double residentMs = bench::bestOfMs(7, [&] {
        const auto start = std::chrono::steady_clock::now();
        auto samples = loadSamples(engine, path, 0);
        const auto end = std::chrono::steady_clock::now();
        if (!samples.ok())
            std::abort();
        return std::chrono::duration<double, std::milli>(end - start).count();
    });
    std::printf("loadSamples into resident memory: %7.1f ms  %7.0f MB/s  %5.1f %% of cat\n",
                residentMs, megabytes / residentMs * 1e3, catMs / residentMs * 100);
    std::printf("peak RSS of this process: %.0f MB (the float list is %.0f MB)\n",
                usage.ru_maxrss / 1024.0, double(frames) * 4 / 1e6);
    return 0;
}
