// SPDX-License-Identifier: GPL-3.0-or-later
// How close every output lands to the truth. Generated sessions with known placements:
// four voices of a conversation, each recorded on its own clock (−300 … +300 ppm) with a start
// that has a fractional-sample part, encoded as AAC, MP3 or kept as a noisy WAV (5 dB SNR);
// synced once against an AAC reference and once against a phone-band 8 kHz reference by the
// real corvale-sync. Each output is compared with its clean voice every 30 s (1 s of its
// loudest speech, plain cross-correlation ±4 ms, parabolic refinement), on the timeline of the
// reference copy the run writes (its own codec delay measured the same way and taken off).
// Prints p50/p95/max error per output; errors beyond the ±4 ms search show as "lost".
// Then, in process on the same files converted as the run converts them: the fine stage's own
// cost per track, and the other way to follow a clock, corrections at quiet places as small as
// 0.5 ms (the designed planner given a drift anchor per 0.5 ms of drift and a 0.5 s search),
// measured like the outputs above.
//
//   precision_bench [WORKDIR] [MINUTES] [--no-precise]   (defaults: temp folder, 60 minutes)
// Generated inputs are kept in WORKDIR/inputs-MINUTES and reused by later runs.
#include "audio/audiooutputwriter.h"
#include "benchsupport.h"
#include "session/trackanalysis.h"
#include "support/clipsession.h"
#include "support/wavfile.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <random>

using namespace corvale;
using corvale::bench::percentile;

namespace {

constexpr int kRate = 48000;
constexpr double kPieceSeconds = 300.0;
constexpr double kLeadSeconds = 20.0; // voices start this long before the reference

struct Track {
    const char* name;
    double startSamples; // reference sample where the track's first sample belongs
    double ppm;          // reference samples per track sample − 1, in ppm
    const char* codec;   // "aac", "mp3" or "wav"
    double snrDb;        // > 0: white noise this far below the voice
};

// Voices 0…3 in order.
const Track kTracks[] = {
    {"alice", 7.31234 * kRate + 0.37, 300.0, "aac", 0.0},
    {"bob", -4.2 * kRate - 0.61, -300.0, "mp3", 0.0},
    {"carol", 2.5 * kRate + 0.5, 120.0, "wav", 5.0},
    {"dan", 11.0371 * kRate + 0.13, -85.0, "aac", 0.0},
};

// The clean voices and their mix, written 5 minutes at a time (the generator works on whole
// lists). Voice files start kLeadSeconds before the reference.
bool makeVoices(const QString& folder, double minutes) {
    const int pieces = int(std::ceil((minutes * 60.0 + 2 * kLeadSeconds + 60.0) / kPieceSeconds));
    std::vector<SNDFILE*> files;
    SF_INFO info{};
    info.samplerate = kRate;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    for (int v = 0; v < 5; ++v) {
        const QString name =
            v < 4 ? QStringLiteral("voice%1.wav").arg(v) : QStringLiteral("mix.wav");
        files.push_back(
            sf_open(QFile::encodeName(QDir(folder).filePath(name)).constData(), SFM_WRITE, &info));
        if (!files.back())
            return false;
    }
    for (int p = 0; p < pieces; ++p) {
        const auto voices = demo::conversation(4, kPieceSeconds, kRate, 900 + std::uint32_t(p), 0);
        const auto mix = demo::mix(voices, 0.6f);
        for (int v = 0; v < 4; ++v)
            sf_writef_float(files[std::size_t(v)], voices[std::size_t(v)].data(),
                            sf_count_t(voices[std::size_t(v)].size()));
        sf_writef_float(files[4], mix.data(), sf_count_t(mix.size()));
    }
    for (SNDFILE* f : files)
        sf_close(f);
    return true;
}

// Track samples at reference positions start + i (1 + ppm/1e6), by cubic interpolation of
// the clean voice (which starts kLeadSeconds before the reference).
std::vector<float> recordTrack(const std::vector<float>& voice, const Track& t, double seconds,
                               std::uint32_t seed) {
    const auto count = std::int64_t(seconds * kRate);
    std::vector<float> out = test::recordOnClock(voice, t.startSamples + kLeadSeconds * kRate,
                                                 1.0 + t.ppm * 1e-6, count);
    if (t.snrDb > 0.0) {
        double sumSquares = 0.0;
        for (const float v : out)
            sumSquares += double(v) * v;
        const double rms = std::sqrt(sumSquares / double(std::max<std::int64_t>(count, 1)));
        std::mt19937 rng(seed);
        std::normal_distribution<float> noise(0.0f, float(rms / std::pow(10.0, t.snrDb / 20.0)));
        for (float& v : out)
            v += noise(rng);
    }
    return out;
}

QStringList makeInputs(const QString& folder, double minutes) {
    QDir().mkpath(folder);
    const QString done = QDir(folder).filePath(QStringLiteral("complete"));
    QStringList names{"ref-aac.m4a", "ref-phone.wav"};
    for (const Track& t : kTracks)
        names << QString::fromLatin1(t.name) +
                     (QLatin1String(t.codec) == QLatin1String("aac")   ? QStringLiteral(".m4a")
                      : QLatin1String(t.codec) == QLatin1String("mp3") ? QStringLiteral(".mp3")
                                                                       : QStringLiteral(".wav"));
    QStringList paths;
    for (const QString& n : names)
        paths << QDir(folder).filePath(n);
    if (QFileInfo::exists(done))
        return paths;
    std::fprintf(stderr, "generating %.0f minutes of audio...\n", minutes);
    if (!makeVoices(folder, minutes))
        return {};
    const QString mixWav = QDir(folder).filePath(QStringLiteral("mix.wav"));
    // The reference: the mix from kLeadSeconds on, for the session's length plus a minute.
    const QString trim = QString::number(kLeadSeconds);
    const QString length = QString::number(minutes * 60.0 + 60.0);
    if (!test::runProgram(QStringLiteral("ffmpeg"),
                          {"-y", "-loglevel", "error", "-ss", trim, "-t", length, "-i", mixWav,
                           "-c:a", "aac", "-b:a", "96k", paths[0]}) ||
        !test::runProgram(QStringLiteral("ffmpeg"),
                          {"-y", "-loglevel", "error", "-ss", trim, "-t", length, "-i", mixWav,
                           "-af", "highpass=f=300,lowpass=f=3400", "-ar", "8000", "-c:a",
                           "pcm_s16le", paths[1]}))
        return {};
    for (int v = 0; v < 4; ++v) {
        const Track& t = kTracks[v];
        const auto voice =
            test::readMono(QDir(folder).filePath(QStringLiteral("voice%1.wav").arg(v)));
        const double seconds = minutes * 60.0 - 30.0;
        const auto track = recordTrack(voice, t, seconds, 31 + std::uint32_t(v));
        const QString wav =
            paths[2 + v] +
            (QLatin1String(t.codec) == QLatin1String("wav") ? QString() : QStringLiteral(".wav"));
        if (!test::writeWav(wav, track, 1, kRate))
            return {};
        if (QLatin1String(t.codec) != QLatin1String("wav")) {
            const QStringList codec = QLatin1String(t.codec) == QLatin1String("aac")
                                          ? QStringList{"-c:a", "aac", "-b:a", "128k"}
                                          : QStringList{"-c:a", "libmp3lame", "-b:a", "128k"};
            if (!test::runProgram(QStringLiteral("ffmpeg"),
                                  QStringList{"-y", "-loglevel", "error", "-i", wav} + codec +
                                      QStringList{paths[2 + v]}))
                return {};
            QFile::remove(wav);
        }
    }
    QFile(done).open(QIODevice::WriteOnly);
    return paths;
}

// Lag of output against the clean signal (clean sample n + lag holds output sample n), from
// 1 s at `at`, searched ±search (4 ms); no value when nothing correlates.
std::optional<double> lagAt(const std::vector<float>& output, const std::vector<float>& clean,
                            std::int64_t at, std::int64_t cleanShift,
                            std::int64_t search = kRate / 250) {
    const std::int64_t span = kRate;
    std::vector<double> score(std::size_t(2 * search + 1), -2.0);
    double bestScore = -2.0;
    std::int64_t best = 0;
    for (std::int64_t k = -search; k <= search; ++k) {
        double ab = 0.0, aa = 0.0, bb = 0.0;
        for (std::int64_t i = 0; i < span; ++i) {
            const std::int64_t o = at + i;
            const std::int64_t c = at + i + k + cleanShift;
            const double a = o >= 0 && o < std::ssize(output) ? output[std::size_t(o)] : 0.0;
            const double b = c >= 0 && c < std::ssize(clean) ? clean[std::size_t(c)] : 0.0;
            ab += a * b;
            aa += a * a;
            bb += b * b;
        }
        const double s = aa > 0 && bb > 0 ? ab / std::sqrt(aa * bb) : -2.0;
        score[std::size_t(k + search)] = s;
        if (s > bestScore) {
            bestScore = s;
            best = k;
        }
    }
    if (bestScore < 0.3 || best == -search || best == search)
        return std::nullopt;
    const double a = score[std::size_t(best - 1 + search)];
    const double b = score[std::size_t(best + search)];
    const double c = score[std::size_t(best + 1 + search)];
    const double d = a - 2.0 * b + c;
    return double(best) + (d < 0.0 ? 0.5 * (a - c) / d : 0.0);
}

// Start of the loudest second of clean within [from, from + 30 s).
std::int64_t loudestSecond(const std::vector<float>& clean, std::int64_t from) {
    return test::loudestBlock(clean, from, std::min(from + 30 * kRate, std::ssize(clean)), kRate,
                              kRate / 4);
}

struct Errors {
    std::vector<double> ms;
    int lost = 0;
};

// Errors of one output against its clean voice, every 30 s of the reference timeline. delay:
// the run's reference copy holds clean-mix sample n + delay at its sample n; every output
// should do the same with its voice.
Errors measure(const std::vector<float>& output, const std::vector<float>& voice, double delay) {
    Errors e;
    const std::int64_t shift = std::llround(kLeadSeconds * kRate) + std::llround(delay);
    const double expected = delay - double(std::llround(delay));
    for (std::int64_t at = 5 * kRate; at + 31 * kRate < std::ssize(output); at += 30 * kRate) {
        const std::int64_t s = loudestSecond(voice, at + shift) - shift;
        double voiceEnergy = 0.0;
        for (std::int64_t i = s + shift; i < s + shift + kRate && i < std::ssize(voice); i += 8)
            voiceEnergy += double(voice[std::size_t(i)]) * voice[std::size_t(i)];
        if (voiceEnergy / (kRate / 8) < 1e-4)
            continue; // this voice does not speak in this stretch
        double energy = 0.0;
        for (std::int64_t i = std::max<std::int64_t>(s, 0); i < s + kRate && i < std::ssize(output);
             i += 8)
            energy += double(output[std::size_t(i)]) * output[std::size_t(i)];
        if (energy < 1e-3)
            continue; // nothing of the track here (before its start or after its end)
        const auto lag = lagAt(output, voice, s, shift);
        if (!lag) {
            ++e.lost;
            continue;
        }
        e.ms.push_back(std::abs(*lag - expected) * 1000.0 / kRate);
    }
    return e;
}

// The fitted clock as the designed writer's drift anchors: the start to the sample, then an
// anchor every time the clock has moved by another `step` samples.
SyncPart correctionsPart(const QString& wav, const FineAlignment& fine, std::int64_t step) {
    const ClockSegment& line = fine.fit.segments.front();
    const double rate = fine.sampleRate;
    SyncPart part;
    part.inputWAV = wav;
    // The first track sample on the reference: 0, or the first one at or after its start.
    const double first =
        line.lagAtZero >= 0.0 ? 0.0 : std::ceil(-line.lagAtZero / (1.0 + line.slope));
    part.offsetSeconds = line.lagAtZero >= 0.0 ? line.lagAtZero / rate : -first / rate;
    part.driftPoints.push_back({0.0, 0.0});
    if (line.slope != 0.0) {
        const double every = double(step) / std::abs(line.slope) / rate; // seconds
        for (double t = every; t < 6.0 * 3600.0; t += every)
            part.driftPoints.push_back({t, line.slope * t});
    }
    return part;
}

// How far a converted reference lags the clean mix (the median of five 2 s measurements).
double referenceDelay(const std::vector<float>& referenceCopy, const std::vector<float>& mix) {
    std::vector<double> delays;
    for (std::int64_t at = 60 * kRate;
         at + 2 * kRate < std::ssize(referenceCopy) && delays.size() < 5; at += 120 * kRate) {
        if (auto lag =
                lagAt(referenceCopy, mix, at, std::llround(kLeadSeconds * kRate), kRate / 20))
            delays.push_back(*lag);
    }
    return delays.empty() ? 0.0 : percentile(delays, 0.5);
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    const bool noPrecise = args.removeAll(QStringLiteral("--no-precise")) > 0;
    QTemporaryDir temp;
    const QString work = args.value(0, temp.path());
    const double minutes = args.value(1, QStringLiteral("60")).toDouble();
    const QStringList inputs =
        makeInputs(QDir(work).filePath(QStringLiteral("inputs-%1").arg(minutes)), minutes);
    if (inputs.isEmpty())
        return 1;
    const QString folder = QFileInfo(inputs.front()).absolutePath();
    std::vector<std::vector<float>> voices;
    for (int v = 0; v < 4; ++v)
        voices.push_back(
            test::readMono(QDir(folder).filePath(QStringLiteral("voice%1.wav").arg(v))));
    const auto mix = test::readMono(QDir(folder).filePath(QStringLiteral("mix.wav")));

    bool allMet = true;
    for (int session = 0; session < 2; ++session) {
        const QString reference = inputs[session];
        const QString out = QDir(work).filePath(QStringLiteral("out-%1").arg(session));
        QDir(out).removeRecursively();
        QDir().mkpath(out);
        QStringList runArgs{QStringLiteral("--json"),
                            QStringLiteral("--no-sound"),
                            QStringLiteral("--no-auto-populate"),
                            QStringLiteral("--full-names"),
                            QStringLiteral("-o"),
                            out,
                            reference};
        runArgs << inputs.mid(2);
        if (noPrecise)
            runArgs << QStringLiteral("--no-precise");
        QByteArray json;
        QElapsedTimer timer;
        timer.start();
        if (!test::runProgram(QStringLiteral(CORVALE_SYNC_BINARY), runArgs, &json))
            return 1;
        std::printf("\n== session %d: reference %s, %.0f min, run %.1f s\n", session,
                    qPrintable(QFileInfo(reference).fileName()), minutes,
                    double(timer.elapsed()) / 1000.0);
        // The reference copy's own delay against the clean mix (codec priming, filters).
        // A mono WAV reference gets no copy: the outputs line up with it as it is, so it is
        // converted here the way the run converts it.
        QString copy =
            QDir(out).filePath(QFileInfo(reference).completeBaseName() + QStringLiteral(".wav"));
        if (!QFileInfo::exists(copy)) {
            copy = QDir(out).filePath(QStringLiteral("reference-at-run-rate.wav"));
            if (!test::runProgram(QStringLiteral("ffmpeg"),
                                  {"-y", "-loglevel", "error", "-i", reference, "-ar",
                                   QString::number(kRate), "-c:a", "pcm_s16le", copy}))
                return 1;
        }
        const auto referenceCopy = test::readMono(copy);
        const double delay = referenceDelay(referenceCopy, mix);
        std::printf("reference copy lags the clean mix by %.2f samples (%.3f ms)\n", -delay,
                    -delay * 1000.0 / kRate);

        const QJsonArray files =
            QJsonDocument::fromJson(json).object()[QStringLiteral("files")].toArray();
        std::printf("%-8s %-6s %9s %9s %9s %5s %5s  %s\n", "output", "codec", "p50 ms", "p95 ms",
                    "max ms", "n", "lost", "fine");
        for (int v = 0; v < 4; ++v) {
            const QJsonObject file = files[v].toObject();
            const QString output = file[QStringLiteral("outputs")].toArray().first().toString();
            const auto written = test::readMono(output);
            Errors e = measure(written, voices[std::size_t(v)], delay);
            const double p50 = percentile(e.ms, 0.5);
            const double p95 = percentile(e.ms, 0.95);
            const double mx = e.ms.empty() ? 0.0 : *std::max_element(e.ms.begin(), e.ms.end());
            const QJsonObject fine = file[QStringLiteral("fine")].toObject();
            const bool met = e.lost == 0 && p95 <= 1.0 && mx <= 2.0 && !e.ms.empty();
            allMet = allMet && met;
            std::printf(
                "%-8s %-6s %9.3f %9.3f %9.3f %5zu %5d  %s ppm=%.2f res=%.3fms win=%d/%d%s\n",
                kTracks[v].name, kTracks[v].codec, p50, p95, mx, e.ms.size(), e.lost,
                fine.isEmpty()                               ? "off"
                : fine[QStringLiteral("confirmed")].toBool() ? "confirmed"
                                                             : "UNCONFIRMED",
                fine[QStringLiteral("clockPpm")].toDouble(),
                fine[QStringLiteral("residualMs")].toDouble(),
                fine[QStringLiteral("windowsAgreeing")].toInt(),
                fine[QStringLiteral("windowsMeasured")].toInt(), met ? "" : "  <- MISSED");
        }
    }
    std::printf("\ntargets (p95 <= 1 ms, max <= 2 ms, nothing lost): %s\n",
                allMet ? "met" : "NOT met");

    // In process, against the AAC reference.
    std::printf(
        "\n== in process, AAC reference: fine stage cost, and both ways to follow a clock\n");
    const SyncEngine engine(kRate);
    const QString referenceWav = QDir(work).filePath(QStringLiteral("ref-converted.wav"));
    if (!test::convertAsRun(inputs[0], referenceWav, kRate))
        return 1;
    const auto envelope = loadReferenceEnvelope(engine, referenceWav, false, {});
    if (!envelope)
        return 1;
    const auto referenceCopy = test::readMono(referenceWav);
    const double delay = referenceDelay(referenceCopy, mix);
    std::printf("%-8s %10s %10s | %-24s | %-24s\n", "track", "coarse s", "fine s",
                "resampled p50/p95/max ms", "corrections p50/p95/max ms");
    for (int v = 0; v < 4; ++v) {
        const QString wav = QDir(work).filePath(QStringLiteral("track%1.wav").arg(v));
        if (!test::convertAsRun(inputs[2 + v], wav, kRate))
            return 1;
        QElapsedTimer t;
        t.start();
        const auto coarse = analyzeTrack(engine, wav, false, envelope.value(), {});
        const double coarseSeconds = double(t.nsecsElapsed()) / 1e9;
        t.restart();
        const auto fine = analyzeTrack(engine, wav, false, envelope.value(), {},
                                       FineReference{referenceWav, false, nullptr});
        const double fineSeconds = double(t.nsecsElapsed()) / 1e9;
        if (!coarse || !fine || !fine.value().fine || !fine.value().fine->fit.confident) {
            std::printf("%-8s no confident fine result\n", kTracks[v].name);
            continue;
        }
        const FineAlignment& f = *fine.value().fine;
        SyncPart resampled;
        resampled.inputWAV = wav;
        resampled.clock = f.fit.segments;
        const QString outA = QDir(work).filePath(QStringLiteral("resampled%1.wav").arg(v));
        const QString outB = QDir(work).filePath(QStringLiteral("corrected%1.wav").arg(v));
        QElapsedTimer w;
        w.start();
        if (!AudioOutputWriter().write({resampled}, outA))
            return 1;
        const double resampleSeconds = double(w.nsecsElapsed()) / 1e9;
        AudioOutputWriter small;
        small.silenceWindowSamples = kRate / 2000; // 0.5 ms steps, quiet runs of 0.5 ms
        small.searchRadiusSamples = kRate / 2;
        w.restart();
        if (!small.write({correctionsPart(wav, f, small.silenceWindowSamples)}, outB))
            return 1;
        const double correctSeconds = double(w.nsecsElapsed()) / 1e9;
        const Errors a = measure(test::readMono(outA), voices[std::size_t(v)], delay);
        const Errors b = measure(test::readMono(outB), voices[std::size_t(v)], delay);
        const auto fmt = [](const Errors& e) {
            const double mx = e.ms.empty() ? 0.0 : *std::max_element(e.ms.begin(), e.ms.end());
            return QString::asprintf("%.3f/%.3f/%.3f lost %d", percentile(e.ms, 0.5),
                                     percentile(e.ms, 0.95), mx, e.lost);
        };
        std::printf("%-8s %10.2f %10.2f | %-24s | %-24s  write %.1f s / %.1f s\n", kTracks[v].name,
                    coarseSeconds, fineSeconds - coarseSeconds, qPrintable(fmt(a)),
                    qPrintable(fmt(b)), resampleSeconds, correctSeconds);
        QFile::remove(outA);
        QFile::remove(outB);
        QFile::remove(wav);
    }
    QFile::remove(referenceWav);
    return 0;
}
