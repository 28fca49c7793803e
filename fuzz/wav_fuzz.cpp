// SPDX-License-Identifier: GPL-3.0-or-later
// Arbitrary bytes as an audio file, read by every reader the analysis and the writer use.
#include "fuzzsupport.h"

#include "audio/samplereader.h"
#include "audio/wavreader.h"
#include "audio/windowreader.h"

#include <QString>

#include <algorithm>

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace corvale;
using corvale::fuzz::require;

namespace {

// The input lives in one in-memory file, reached by path as the readers expect; nothing is
// written to disk and nothing is left behind.
// A low rate keeps the blocks small, so that short inputs still give envelopes.
constexpr double kEngineRate = 8000.0;

int g_file = -1;
QString g_path;

void readWhole(WavReader& reader) {
    if (!reader.allocate(std::min<std::int64_t>(std::max<std::int64_t>(reader.length(), 1), 4096)))
        return;
    std::vector<float> out(4096);
    const int last = reader.clampChannel(reader.channels());
    for (int rounds = 0; rounds < 64; ++rounds) {
        auto got = reader.read(4096);
        if (!got || got.value() == 0)
            break;
        require(got.value() <= 4096, "read more frames than asked for");
        reader.extractChannel(last, out.data());
        reader.extractMixOfFirstTwo(out.data());
    }
    if (const auto raw = reader.rawPcm16Mono()) {
        struct stat status {};
        require(::fstat(raw->fd, &status) == 0, "raw descriptor valid");
        require(raw->offset >= 0 && raw->frames >= 0 &&
                    raw->offset + 2 * raw->frames <= std::int64_t(status.st_size),
                "raw samples lie inside the file");
    }
}

void readWindows(WindowReader::Mix mix, std::int64_t channel) {
    WindowReader reader;
    if (!reader.open(g_path, mix, channel, 512))
        return;
    const std::int64_t frames = reader.frames();
    for (const std::int64_t start :
         {std::int64_t(-100), std::int64_t(0), frames / 2, frames - 10}) {
        auto window = reader.read(start, 512);
        if (window)
            require(window.value().size() == 512, "a window holds what was asked for");
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    corvale::fuzz::ensureApplication();
    g_file = ::memfd_create("corvale-fuzz-wav", MFD_CLOEXEC);
    if (g_file < 0)
        std::abort();
    g_path = QStringLiteral("/proc/self/fd/%1").arg(g_file);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (::ftruncate(g_file, 0) != 0 || ::pwrite(g_file, data, size, 0) != ssize_t(size))
        std::abort();

    WavReader reader;
    if (!reader.open(g_path))
        readWhole(reader);

    const SyncEngine engine(kEngineRate);
    const QuietMapSettings quiet{64, 0.003f};
    (void)loadSamples(engine, g_path, 1);
    (void)loadEnvelope(engine, g_path, 0, {}, quiet, [](std::span<const float> slice) {
        // Every sample handed on is read, so that the sanitizer sees where the slice lies.
        volatile float sum = 0.0f;
        for (const float sample : slice)
            sum = sum + sample;
    });
    (void)loadEnvelopeOfSum(engine, g_path);
    (void)loadQuietMap(g_path, 3, quiet);
    (void)analyzeStereo(engine, g_path);
    readWindows(WindowReader::Mix::channel, 1);
    readWindows(WindowReader::Mix::sumOfFirstTwo, 0);
    return 0;
}
