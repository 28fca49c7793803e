// SPDX-License-Identifier: GPL-3.0-or-later
// Synced-file writer against its floor: reading a 48 kHz input twice and writing one mono 16-bit
// file of the same length with plain libsndfile calls. The writer is timed making its own quiet
// map, and as a run uses it, with the map the analysis made: 16-bit mono stretches copied by
// the kernel, or every frame read and written here (the loop, what a stereo input always
// takes), one writer alone and four at once from ffmpeg-written copies, as a run writes them.
// Each measurement runs in a fresh child process so that its peak RSS is its own; 10-minute
// and 60-minute inputs show whether memory grows with the file's length.
#include "audio/audiooutputwriter.h"
#include "benchsupport.h"
#include "support/speechgen.h"

#include <QByteArray>
#include <QFile>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

#include <sndfile.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

constexpr int kRate = 48000;
constexpr sf_count_t kChunk = 220500;

// Peak resident set of this process image. getrusage's ru_maxrss would do, except that Linux
// carries the spawning parent's peak across exec into it; VmHWM starts afresh with the image.
double peakRssMB() {
    QFile status(QStringLiteral("/proc/self/status"));
    if (status.open(QIODevice::ReadOnly)) {
        for (const QByteArray& line : status.readAll().split('\n')) {
            if (line.startsWith("VmHWM:"))
                return line.mid(6).trimmed().split(' ').front().toDouble() / 1024.0;
        }
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024.0;
}

// The least any design that reads the input twice and writes a mono file must do.
bool floorCopy(const QString& input, const QString& output) {
    SF_INFO inInfo{};
    SNDFILE* in = sf_open(QFile::encodeName(input).constData(), SFM_READ, &inInfo);
    if (!in)
        return false;
    const int channels = inInfo.channels;
    std::vector<float> buffer(std::size_t(kChunk) * std::size_t(channels));
    std::vector<float> mono(static_cast<std::size_t>(kChunk));
    while (sf_readf_float(in, buffer.data(), kChunk) > 0) {
    }
    sf_seek(in, 0, SEEK_SET);
    SF_INFO outInfo{};
    outInfo.samplerate = inInfo.samplerate;
    outInfo.channels = 1;
    outInfo.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* out = sf_open(QFile::encodeName(output).constData(), SFM_WRITE, &outInfo);
    if (!out) {
        sf_close(in);
        return false;
    }
    sf_command(out, SFC_SET_CLIPPING, nullptr, SF_TRUE);
    bool ok = true;
    for (sf_count_t got; ok && (got = sf_readf_float(in, buffer.data(), kChunk)) > 0;) {
        for (sf_count_t f = 0; f < got; ++f)
            mono[std::size_t(f)] = buffer[std::size_t(f) * std::size_t(channels)];
        ok = sf_writef_float(out, mono.data(), got) == got;
    }
    sf_close(in);
    return sf_close(out) == 0 && ok;
}

// The part a run hands the writer: ten steps of 70 ms, evenly spread, so ten corrections of
// 3360 frames.
corvale::SyncPart partOf(const QString& input, int minutes) {
    corvale::SyncPart part;
    part.inputWAV = input;
    part.offsetSeconds = 0.0;
    const double span = minutes * 60.0 / 11.0;
    for (int i = 0; i <= 10; ++i)
        part.driftPoints.push_back({span * i, 0.07 * i});
    return part;
}

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Child process: one measurement, printed as "<seconds> <peak RSS MB> <CPU seconds>". On a
// shared machine the CPU time (user and system) says more than the wall-clock time.
// "writer" makes its own quiet map; "kernel" and "loop" write as in a run, with the map the
// analysis made (made here before the clock starts), the second with every frame read and
// written through buffers, as before the kernel copied.
int measure(const std::string& mode, const QString& input, const QString& output, int minutes) {
    corvale::AudioOutputWriter writer;
    corvale::SyncPart part = partOf(input, minutes);
    if (mode == "kernel" || mode == "loop") {
        auto map = writer.quietMap(input, 0);
        if (!map)
            return 1;
        part.quietMap = std::make_shared<const std::vector<bool>>(std::move(map.value()));
    }
    if (mode == "loop")
        writer.copying = corvale::AudioOutputWriter::Copying::throughBuffers;
    const double cpuBefore = cpuSeconds();
    const auto t0 = std::chrono::steady_clock::now();
    bool ok = true;
    if (mode == "floor") {
        ok = floorCopy(input, output);
    } else {
        const auto result = writer.write({part}, output);
        if (!result)
            std::fprintf(stderr, "write failed: %s\n",
                         qPrintable(result.error().errorDescription()));
        ok = result.ok();
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const double cpu = cpuSeconds() - cpuBefore;
    QFile::remove(output);
    if (!ok)
        return 1;
    std::printf("%.3f %.1f %.3f\n", seconds, peakRssMB(), cpu);
    return 0;
}

struct Figure {
    double seconds = 0.0;
    double rssMB = 0.0;
    double cpuSeconds = 0.0;
};

Figure runChild(const char* self, const char* mode, const QString& input, const QString& output,
                int minutes) {
    const QByteArray in = QFile::encodeName(input);
    const QByteArray out = QFile::encodeName(output);
    const std::string mins = std::to_string(minutes);
    int pipeFds[2];
    if (pipe(pipeFds) != 0)
        return {};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
    const char* argv[] = {self,         "--measure", mode, in.constData(), out.constData(),
                          mins.c_str(), nullptr};
    pid_t pid = 0;
    const int spawned =
        posix_spawn(&pid, self, &actions, nullptr, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    char text[128] = {};
    std::size_t used = 0;
    for (ssize_t n;
         used + 1 < sizeof text && (n = read(pipeFds[0], text + used, sizeof text - 1 - used)) > 0;)
        used += std::size_t(n);
    close(pipeFds[0]);
    int status = 0;
    if (spawned == 0)
        waitpid(pid, &status, 0);
    Figure figure;
    if (spawned != 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0 ||
        std::sscanf(text, "%lf %lf %lf", &figure.seconds, &figure.rssMB, &figure.cpuSeconds) != 3)
        std::fprintf(stderr, "%s run failed\n", mode);
    return figure;
}

// Four writers at once, each from its own input, as a run writes its outputs side by side: the
// slowest writer's time and the CPU time of all four.
Figure runFourAtOnce(const char* self, const char* mode, const QStringList& inputs,
                     const QString& folder, int minutes) {
    std::vector<Figure> figures(static_cast<std::size_t>(inputs.size()));
    std::vector<std::thread> children;
    for (std::size_t i = 0; i < figures.size(); ++i) {
        children.emplace_back([&, i] {
            figures[i] = runChild(self, mode, inputs[qsizetype(i)],
                                  folder + QStringLiteral("/out%1.wav").arg(i), minutes);
        });
    }
    for (std::thread& child : children)
        child.join();
    Figure all;
    for (const Figure& f : figures) {
        all.seconds = std::max(all.seconds, f.seconds);
        all.cpuSeconds += f.cpuSeconds;
    }
    return all;
}

// Copies of a WAV as the conversion step writes them: ffmpeg's own header, 16-bit PCM.
QStringList convertedCopies(const QString& input, const QString& folder, int count) {
    QStringList copies;
    for (int i = 0; i < count; ++i) {
        const QString copy = folder + QStringLiteral("/converted%1.wav").arg(i);
        QProcess ffmpeg;
        ffmpeg.start(QStringLiteral("ffmpeg"),
                     {"-y", "-loglevel", "error", "-i", input, "-c:a", "pcm_s16le", copy});
        if (!ffmpeg.waitForFinished(-1) || ffmpeg.exitCode() != 0)
            return {};
        copies << copy;
    }
    return copies;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 6 && std::strcmp(argv[1], "--measure") == 0)
        return measure(argv[2], QString::fromLocal8Bit(argv[3]), QString::fromLocal8Bit(argv[4]),
                       std::atoi(argv[5]));

    QTemporaryDir dir;
    if (!dir.isValid())
        return 1;
    char selfPath[4096] = {};
    if (readlink("/proc/self/exe", selfPath, sizeof selfPath - 1) <= 0)
        return 1;

    std::printf("writer_bench: 48 kHz 16-bit input, ten corrections, best of 3\n");
    for (const int minutes : {10, 60}) {
        for (const int channels : {2, 1}) {
            const QString input = dir.filePath(QStringLiteral("in-%1.wav").arg(minutes));
            const QString output = dir.filePath(QStringLiteral("out.wav"));
            if (!corvale::bench::writeSpeechWav(input, minutes, channels, kRate, 100))
                return 1;
            // Best wall-clock time and least CPU time of three rounds, each on its own.
            Figure floorBest{1e9, 0, 1e9}, writerBest{1e9, 0, 1e9}, kernelBest{1e9, 0, 1e9},
                loopBest{1e9, 0, 1e9};
            for (int round = 0; round < 3; ++round) {
                for (auto [mode, best] :
                     {std::pair{"floor", &floorBest}, std::pair{"writer", &writerBest},
                      std::pair{"kernel", &kernelBest}, std::pair{"loop", &loopBest}}) {
                    const Figure f = runChild(selfPath, mode, input, output, minutes);
                    if (f.seconds < best->seconds) {
                        best->seconds = f.seconds;
                        best->rssMB = f.rssMB;
                    }
                    best->cpuSeconds = std::min(best->cpuSeconds, f.cpuSeconds);
                }
            }
            const auto show = [](const Figure& f) {
                return QStringLiteral("%1 s (CPU %2 s, %3 MB)")
                    .arg(f.seconds, 0, 'f', 2)
                    .arg(f.cpuSeconds, 0, 'f', 2)
                    .arg(f.rssMB, 0, 'f', 1);
            };
            std::printf("%2d min %s: floor %s, writer %s; writer/floor %.2f (target <= 1.50)\n"
                        "    with the analysis' map: kernel copy %s, loop %s\n",
                        minutes, channels == 2 ? "stereo" : "mono", qPrintable(show(floorBest)),
                        qPrintable(show(writerBest)), writerBest.seconds / floorBest.seconds,
                        qPrintable(show(kernelBest)), qPrintable(show(loopBest)));
            const QStringList converted = minutes == 60 && channels == 1
                                              ? convertedCopies(input, dir.path(), 4)
                                              : QStringList();
            if (!converted.isEmpty()) {
                Figure kernel{1e9, 0, 1e9}, loop{1e9, 0, 1e9};
                for (int round = 0; round < 3; ++round) {
                    for (auto [mode, best] :
                         {std::pair{"kernel", &kernel}, std::pair{"loop", &loop}}) {
                        const Figure f =
                            runFourAtOnce(selfPath, mode, converted, dir.path(), minutes);
                        best->seconds = std::min(best->seconds, f.seconds);
                        best->cpuSeconds = std::min(best->cpuSeconds, f.cpuSeconds);
                    }
                }
                std::printf(
                    "    four at once from ffmpeg-written copies (slowest, CPU of all): kernel "
                    "copy %.2f s (CPU %.2f s), loop %.2f s (CPU %.2f s)\n",
                    kernel.seconds, kernel.cpuSeconds, loop.seconds, loop.cpuSeconds);
                for (const QString& copy : converted)
                    QFile::remove(copy);
            }
            QFile::remove(input);
        }
    }
    return 0;
}
