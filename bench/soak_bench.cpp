// SPDX-License-Identifier: GPL-3.0-or-later
// A long session in one corvale-sync run: a reference and six participants of MINUTES each
// (default 180), a generated conversation of six voices; each participant records its own voice
// on its own clock (−200 … +300 ppm) from a known start, two of them as AAC. Prints the run's
// peak memory (its own high-water mark), its wall time against the bare ffmpeg conversions of
// the same files all at once, and how close every output lands to the truth: every 60 s, the
// loudest second of the voice in that minute against the output by plain cross-correlation (±4 ms,
// parabolic refinement), p50/p95/max per output. Targets: at most 300 MB, p95 <= 0.05 ms on the
// clean (WAV) tracks.
//
//   soak_bench [WORKDIR] [MINUTES]   (defaults: a temp folder, 180)
// Generated inputs are kept in WORKDIR/inputs-MINUTES and reused. Everything is generated and
// measured a piece at a time, so the bench itself stays small at any length.
#include "audio/audioconverter.h"
#include "benchsupport.h"
#include "demo/speechgen.h"
#include "support/clipsession.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

using namespace corvale;
using corvale::bench::percentile;

namespace {

constexpr int kRate = 48000;
constexpr int kVoices = 6;
constexpr double kPieceSeconds = 300.0;
constexpr double kLeadSeconds = 20.0; // voices start this long before the reference
constexpr double kCheckEverySeconds = 60.0;
constexpr std::int64_t kSearch = kRate / 250; // ±4 ms
constexpr double kTargetMB = 300.0;
constexpr double kTargetP95Ms = 0.05;

struct Track {
    const char* name;
    double startSamples; // reference sample where the track's first sample belongs
    double ppm;          // reference samples per track sample − 1, in ppm
    bool aac;
};

const Track kTracks[kVoices] = {
    {"alice", 7.31234 * kRate + 0.37, 300.0, true}, {"bob", -4.2 * kRate - 0.61, -200.0, false},
    {"carol", 2.5 * kRate + 0.5, 120.0, false},     {"dan", 11.0371 * kRate + 0.13, -85.0, true},
    {"erin", 0.75 * kRate + 0.29, 230.0, false},    {"frank", -1.9 * kRate - 0.44, 0.0, false},
};

SNDFILE* openWrite(const QString& path, int format) {
    SF_INFO info{};
    info.samplerate = kRate;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | format;
    SNDFILE* file = sf_open(QFile::encodeName(path).constData(), SFM_WRITE, &info);
    if (file)
        sf_command(file, SFC_SET_CLIPPING, nullptr, SF_TRUE);
    return file;
}

// count samples of file from `from` (which may lie outside it: zeros there).
std::vector<float> readSpan(SNDFILE* file, sf_count_t frames, std::int64_t from,
                            std::int64_t count) {
    std::vector<float> out(std::size_t(std::max<std::int64_t>(count, 0)), 0.0f);
    const std::int64_t a = std::clamp<std::int64_t>(from, 0, frames);
    const std::int64_t b = std::clamp<std::int64_t>(from + count, 0, frames);
    if (b > a && sf_seek(file, a, SEEK_SET) >= 0)
        sf_readf_float(file, out.data() + (a - from), b - a);
    return out;
}

// A sound file opened for reading, closed with its scope.
struct Reader {
    explicit Reader(const QString& path) {
        file = sf_open(QFile::encodeName(path).constData(), SFM_READ, &info);
    }
    ~Reader() {
        if (file)
            sf_close(file);
    }
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;
    std::vector<float> span(std::int64_t from, std::int64_t count) const {
        return readSpan(file, info.frames, from, count);
    }
    SF_INFO info{};
    SNDFILE* file = nullptr;
};

// The clean voices (float WAVs, from kLeadSeconds before the reference) and the reference (the
// mix, 16-bit), five minutes at a time.
bool makeVoicesAndReference(const QString& folder, double minutes) {
    const double total = minutes * 60.0 + 2 * kLeadSeconds + 60.0;
    const int pieces = int(std::ceil(total / kPieceSeconds));
    std::vector<SNDFILE*> voices;
    for (int v = 0; v < kVoices; ++v)
        voices.push_back(openWrite(QDir(folder).filePath(QStringLiteral("voice%1.wav").arg(v)),
                                   SF_FORMAT_FLOAT));
    SNDFILE* reference =
        openWrite(QDir(folder).filePath(QStringLiteral("reference.wav")), SF_FORMAT_PCM_16);
    bool ok = reference && std::find(voices.begin(), voices.end(), nullptr) == voices.end();
    auto referenceLeft = std::int64_t(minutes * 60.0 * kRate);
    for (int p = 0; p < pieces && ok; ++p) {
        const auto piece =
            demo::conversation(kVoices, kPieceSeconds, kRate, 5100 + std::uint32_t(p), 0);
        for (int v = 0; v < kVoices; ++v)
            sf_writef_float(voices[std::size_t(v)], piece[std::size_t(v)].data(),
                            sf_count_t(piece[std::size_t(v)].size()));
        const auto mix = demo::mix(piece, 0.5f);
        const std::int64_t skip = p == 0 ? std::int64_t(kLeadSeconds * kRate) : 0;
        const std::int64_t n = std::min(std::ssize(mix) - skip, referenceLeft);
        if (n > 0)
            sf_writef_float(reference, mix.data() + skip, n);
        referenceLeft -= std::max<std::int64_t>(n, 0);
    }
    for (SNDFILE* f : voices) {
        if (f)
            sf_close(f);
    }
    if (reference)
        sf_close(reference);
    return ok;
}

// A participant's 16-bit recording of its voice, a minute at a time.
bool recordTrack(const QString& voicePath, const Track& t, double seconds, const QString& wav) {
    const Reader voice(voicePath);
    SNDFILE* out = openWrite(wav, SF_FORMAT_PCM_16);
    if (!voice.file || !out)
        return false;
    const double ratio = 1.0 + t.ppm * 1e-6;
    const double first = t.startSamples + kLeadSeconds * kRate;
    const auto count = std::int64_t(seconds * kRate);
    for (std::int64_t i0 = 0; i0 < count; i0 += 60 * kRate) {
        const std::int64_t n = std::min<std::int64_t>(60 * kRate, count - i0);
        const double at = first + double(i0) * ratio;
        const auto from = std::int64_t(std::floor(at)) - 8;
        const auto span = voice.span(from, std::int64_t(double(n) * ratio) + 16);
        const auto piece = test::recordOnClock(span, at - double(from), ratio, n);
        sf_writef_float(out, piece.data(), n);
    }
    return sf_close(out) == 0;
}

QStringList makeInputs(const QString& folder, double minutes) {
    QDir().mkpath(folder);
    QStringList paths{QDir(folder).filePath(QStringLiteral("reference.wav"))};
    for (const Track& t : kTracks)
        paths << QDir(folder).filePath(QString::fromLatin1(t.name) +
                                       (t.aac ? QStringLiteral(".m4a") : QStringLiteral(".wav")));
    const QString done = QDir(folder).filePath(QStringLiteral("complete"));
    if (QFileInfo::exists(done))
        return paths;
    std::fprintf(stderr, "generating %.0f minutes of audio...\n", minutes);
    if (!makeVoicesAndReference(folder, minutes))
        return {};
    for (int v = 0; v < kVoices; ++v) {
        const QString target = paths[1 + v];
        const QString wav = kTracks[v].aac ? target + QStringLiteral(".wav") : target;
        if (!recordTrack(QDir(folder).filePath(QStringLiteral("voice%1.wav").arg(v)), kTracks[v],
                         minutes * 60.0 - 30.0, wav))
            return {};
        if (kTracks[v].aac) {
            if (!test::runProgram(
                    QStringLiteral("ffmpeg"),
                    {"-y", "-loglevel", "error", "-i", wav, "-c:a", "aac", "-b:a", "128k", target}))
                return {};
            QFile::remove(wav);
        }
    }
    QFile(done).open(QIODevice::WriteOnly);
    return paths;
}

// Lag of output against the voice around output sample s (voice sample s + shift + lag holds
// it), from one second, searched ±kSearch; no value when nothing correlates.
std::optional<double> lagAt(const Reader& output, const Reader& voice, std::int64_t s,
                            std::int64_t shift) {
    const auto o = output.span(s, kRate);
    const auto c = voice.span(s + shift - kSearch, kRate + 2 * kSearch);
    std::vector<double> score(std::size_t(2 * kSearch + 1), -2.0);
    double aa = 0.0;
    for (const float a : o)
        aa += double(a) * a;
    for (std::int64_t k = -kSearch; k <= kSearch; ++k) {
        double ab = 0.0, bb = 0.0;
        for (std::int64_t i = 0; i < kRate; ++i) {
            const double b = c[std::size_t(i + k + kSearch)];
            ab += o[std::size_t(i)] * b;
            bb += b * b;
        }
        score[std::size_t(k + kSearch)] = aa > 0 && bb > 0 ? ab / std::sqrt(aa * bb) : -2.0;
    }
    const auto best = std::max_element(score.begin(), score.end()) - score.begin();
    if (score[std::size_t(best)] < 0.3 || best == 0 || best == 2 * kSearch)
        return std::nullopt;
    const double a = score[std::size_t(best - 1)], b = score[std::size_t(best)],
                 d = score[std::size_t(best + 1)];
    const double curve = a - 2.0 * b + d;
    return double(best - kSearch) + (curve < 0.0 ? 0.5 * (a - d) / curve : 0.0);
}

double energy(const std::vector<float>& x) {
    double sum = 0.0;
    for (const float v : x)
        sum += double(v) * v;
    return sum / double(std::max<std::size_t>(x.size(), 1));
}

struct Errors {
    std::vector<double> ms;
    int lost = 0;
};

Errors measure(const QString& outputPath, const QString& voicePath) {
    const Reader output(outputPath);
    const Reader voice(voicePath);
    Errors e;
    if (!output.file || !voice.file) {
        e.lost = -1;
        return e;
    }
    const auto shift = std::int64_t(kLeadSeconds * kRate);
    const auto every = std::int64_t(kCheckEverySeconds * kRate);
    for (std::int64_t at = 5 * kRate; at + every + kRate < output.info.frames; at += every) {
        const auto stretch = voice.span(at + shift, every);
        const std::int64_t s =
            at + test::loudestBlock(stretch, 0, std::ssize(stretch), kRate, kRate / 4);
        if (energy(voice.span(s + shift, kRate)) < 1e-4 || energy(output.span(s, kRate)) < 1e-6)
            continue; // silent here, or outside the track
        if (const auto lag = lagAt(output, voice, s, shift))
            e.ms.push_back(std::abs(*lag) * 1000.0 / kRate);
        else
            ++e.lost;
    }
    return e;
}

struct RunFigures {
    int status = -1;
    double seconds = 0.0;
    long maxRssKb = 0;
};

// corvale-sync with stdout into jsonPath and stderr into logPath; its own peak memory.
RunFigures runSync(const QStringList& args, const QString& jsonPath, const QString& logPath) {
    std::vector<QByteArray> store{QByteArray(CORVALE_SYNC_BINARY)};
    for (const QString& a : args)
        store.push_back(QFile::encodeName(a));
    std::vector<char*> argv;
    for (QByteArray& a : store)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    const QByteArray json = QFile::encodeName(jsonPath), log = QFile::encodeName(logPath);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, json.constData(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addopen(&actions, 2, log.constData(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    RunFigures figures;
    QElapsedTimer timer;
    timer.start();
    pid_t pid = 0;
    const int spawned = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        return figures;
    // wait4's ru_maxrss would count this process: a spawned child reports the memory it had
    // before exec, which is ours. The child's own high-water mark is read while it runs.
    long peakKb = 0;
    for (;;) {
        QFile status(QStringLiteral("/proc/%1/status").arg(pid));
        if (status.open(QIODevice::ReadOnly)) {
            for (const QByteArray& line : status.readAll().split('\n')) {
                if (line.startsWith("VmHWM:"))
                    peakKb = std::max(peakKb, line.mid(6).trimmed().split(' ').value(0).toLong());
            }
        }
        const pid_t done = ::waitpid(pid, &figures.status, WNOHANG);
        if (done == pid || done < 0)
            break;
        ::usleep(20000);
    }
    figures.seconds = double(timer.elapsed()) / 1000.0;
    figures.maxRssKb = peakKb;
    return figures;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    QTemporaryDir temp;
    const QString work = args.value(0, temp.path());
    const double minutes = args.value(1, QStringLiteral("180")).toDouble();
    const QString inputFolder = QDir(work).filePath(QStringLiteral("inputs-%1").arg(minutes));
    QElapsedTimer generation;
    generation.start();
    const QStringList inputs = makeInputs(inputFolder, minutes);
    if (inputs.isEmpty())
        return 1;
    std::printf("inputs ready in %.1f s (%s)\n", double(generation.elapsed()) / 1000.0,
                qPrintable(inputFolder));

    const double bare =
        bench::bareConversionSeconds(inputs, QDir(work).filePath(QStringLiteral("bare")), kRate);
    const QString out = QDir(work).filePath(QStringLiteral("out"));
    QDir(out).removeRecursively();
    QDir().mkpath(out);
    const QString json = QDir(work).filePath(QStringLiteral("run.json"));
    const RunFigures run = runSync(QStringList{"--json", "--no-sound", "--no-auto-populate",
                                               "--full-names", "--no-normalize", "-o", out} +
                                       inputs,
                                   json, QDir(work).filePath(QStringLiteral("run.log")));
    QFile jsonFile(json);
    jsonFile.open(QIODevice::ReadOnly);
    const QJsonArray files =
        QJsonDocument::fromJson(jsonFile.readAll()).object()[QStringLiteral("files")].toArray();
    const int exitCode = WIFEXITED(run.status) ? WEXITSTATUS(run.status) : -1;

    std::printf("\n%-6s %-5s %7s %9s %9s %9s %4s %5s  %s\n", "output", "codec", "ppm", "p50 ms",
                "p95 ms", "max ms", "n", "lost", "verdict");
    bool precise = files.size() == kVoices;
    std::vector<double> clean;
    for (int v = 0; v < kVoices && v < files.size(); ++v) {
        const QJsonObject file = files[v].toObject();
        const QString output = file[QStringLiteral("outputs")].toArray().first().toString();
        const Errors e =
            measure(output, QDir(inputFolder).filePath(QStringLiteral("voice%1.wav").arg(v)));
        const double p95 = percentile(e.ms, 0.95);
        const double max = e.ms.empty() ? 0.0 : *std::max_element(e.ms.begin(), e.ms.end());
        if (!kTracks[v].aac) {
            clean.insert(clean.end(), e.ms.begin(), e.ms.end());
            precise = precise && p95 <= kTargetP95Ms && e.lost == 0 && !e.ms.empty();
        }
        std::printf("%-6s %-5s %+7.0f %9.4f %9.4f %9.4f %4zu %5d  %s\n", kTracks[v].name,
                    kTracks[v].aac ? "aac" : "wav", kTracks[v].ppm, percentile(e.ms, 0.5), p95, max,
                    e.ms.size(), e.lost, qPrintable(file[QStringLiteral("verdict")].toString()));
    }
    const double peakMB = double(run.maxRssKb) / 1024.0;
    std::printf("\nsession: reference + %d participants, %.0f min each, 48 kHz (%d AAC)\n", kVoices,
                minutes, 2);
    std::printf("bare ffmpeg conversions (all at once): %8.1f s\n", bare);
    std::printf("whole corvale-sync run:                %8.1f s  (%.2f x bare), exit %d\n",
                run.seconds, run.seconds / bare, exitCode);
    std::printf("peak memory of the run (max RSS):      %8.1f MB (target <= %.0f)\n", peakMB,
                kTargetMB);
    std::printf("clean tracks, all checks: p50 %.4f ms, p95 %.4f ms, max %.4f ms (target p95 <= "
                "%.2f)\n",
                percentile(clean, 0.5), percentile(clean, 0.95),
                clean.empty() ? 0.0 : *std::max_element(clean.begin(), clean.end()), kTargetP95Ms);
    const bool met = exitCode == 0 && peakMB <= kTargetMB && precise;
    std::printf("targets: %s\n", met ? "met" : "NOT met");
    QDir(out).removeRecursively();
    return met ? 0 : 1;
}
