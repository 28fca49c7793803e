// SPDX-License-Identifier: GPL-3.0-or-later
// How well short clips are placed. A generated session at 48 kHz (an AAC reference of three
// voices; the host's own recording through another microphone, on a clock 60 ppm off, over a
// little room noise) gives CLIPS clips of CLIPSECONDS cut at spread-out, pseudo-random places,
// each encoded on its own (MP3, every third a 16-bit WAV), plus 20 s of a voice from another
// conversation and 20 s of room noise, which belong nowhere. One run of the real corvale-sync
// places them all; each clip's offset (the fine one when confirmed, else the coarse one) is
// compared with the truth as the run sees both files, and the whole-reference search's margin
// and verdict are shown beside it. Then, in process and pinned to one core, the search's own
// cost: preparing the reference once, and searching for each clip's loudest 8 s.
//
//   clip_bench [WORKDIR] [MINUTES=60] [CLIPS=20] [CLIPSECONDS=20]
// Generated inputs are kept in WORKDIR/clips-MINUTES-CLIPSxCLIPSECONDS and reused by later runs.
#include "audio/samplereader.h"
#include "audio/windowreader.h"
#include "session/waveformplacement.h"
#include "support/clipsession.h"
#include "sync/finealign.h"
#include "sync/syncengine.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>

#include <sched.h>

using namespace corvale;

namespace {

constexpr int kRate = 48000;
constexpr std::uint32_t kSeed = 11;

// Clip places spread over the recording: one in each of `count` equal stretches (30 s kept
// clear at both ends), at a pseudo-random place in it, to the millisecond.
std::vector<test::ClipPlace> clipPlaces(double recordingSeconds, int count, double seconds) {
    std::vector<test::ClipPlace> places;
    const double from = 30.0;
    const double stretch = (recordingSeconds - 60.0 - seconds) / std::max(count, 1);
    std::uint32_t state = 2463534242u;
    for (int k = 0; k < count; ++k) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        const double u = double(state >> 8) / 16777216.0;
        const double start = from + k * stretch + u * std::max(stretch - seconds, 0.0);
        places.push_back({std::round(start * 1000.0) / 1000.0, seconds});
    }
    return places;
}

struct SearchCost {
    double referenceMs = -1.0; // reading and decimating the reference, once per run
    double perClipMs = -1.0;   // reading a clip's loudest 8 s and searching for them, mean
};

// The whole-reference search's cost in process, pinned to one core, on the files as the run
// converts them (16-bit mono WAV at rate): the pieces analyzeTrack runs for a weak file.
SearchCost searchCost(const QString& referenceWav, const QStringList& clipWavs, int rate) {
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(0, &one);
    sched_setaffinity(0, sizeof one, &one);
    const SyncEngine engine(rate);
    SearchCost cost;
    QElapsedTimer timer;
    timer.start();
    WaveformReference shared(referenceWav, false);
    const auto reference = shared.get(engine, {});
    if (!reference)
        return cost;
    cost.referenceMs = double(timer.nsecsElapsed()) / 1e6;
    double total = 0.0;
    for (const QString& wav : clipWavs) {
        timer.restart();
        const auto loaded = loadEnvelope(engine, wav, 0, {});
        if (!loaded)
            return cost;
        const auto& envelope = loaded.value().envelope;
        const std::int64_t hop = engine.hopSamples();
        const std::int64_t frames = std::int64_t(8.0 * rate) / hop;
        const auto starts = pickFineWindows(envelope, 0, std::ssize(envelope), frames, 1);
        const std::int64_t start = starts.empty() ? 0 : starts.front() * hop;
        WindowReader reader;
        if (!reader.open(wav, WindowReader::Mix::channel, 0, frames * hop))
            return cost;
        const auto query = reader.read(start, frames * hop);
        if (!query || !searchWaveform(*reference.value(), query.value(), start))
            return cost;
        total += double(timer.nsecsElapsed()) / 1e6;
    }
    cost.perClipMs = total / double(std::max<qsizetype>(clipWavs.size(), 1));
    return cost;
}

// The run's offset of a file in reference samples: the fine one when it was confirmed.
double reportedOffset(const QJsonObject& file) {
    const QJsonObject fine = file[QStringLiteral("fine")].toObject();
    if (fine[QStringLiteral("confirmed")].toBool() &&
        fine.contains(QStringLiteral("offsetSamples")))
        return fine[QStringLiteral("offsetSamples")].toDouble();
    return file[QStringLiteral("offsetSamples")].toDouble();
}

QString warningCodes(const QJsonObject& file) {
    QStringList codes;
    for (const QJsonValue& w : file[QStringLiteral("warnings")].toArray())
        codes << w.toObject()[QStringLiteral("code")].toString();
    return codes.isEmpty() ? QStringLiteral("-") : codes.join(QLatin1Char(','));
}

// How far the whole-reference search's peak stood above the rest, and what it concluded.
QString searchMargin(const QJsonObject& file) {
    const QJsonObject search = file[QStringLiteral("waveformSearch")].toObject();
    if (search.isEmpty())
        return QStringLiteral("-");
    const QString verdict = search[QStringLiteral("verdict")].toString();
    return search.contains(QStringLiteral("margin"))
               ? QString::asprintf("%.2f %s", search[QStringLiteral("margin")].toDouble(),
                                   qPrintable(verdict))
               : verdict;
}

QString text(const QJsonObject& file, const char* key) {
    const QString value = file[QLatin1String(key)].toString();
    return value.isEmpty() ? QStringLiteral("-") : value;
}

// An impostor stays unplaced as long as the run keeps saying its placement is in doubt.
bool flaggedAsDoubtful(const QJsonObject& file) {
    if (file[QStringLiteral("status")].toString() != QStringLiteral("complete"))
        return true;
    const QString codes = warningCodes(file);
    return codes.contains(QStringLiteral("LOW_OFFSET_CONFIDENCE")) ||
           codes.contains(QStringLiteral("ALIGNMENT_NOT_CONFIRMED")) ||
           codes.contains(QStringLiteral("PLACEMENT_NOT_CONFIRMED"));
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    QTemporaryDir temp;
    const QString work = args.value(0, temp.path());
    const double minutes = args.value(1, QStringLiteral("60")).toDouble();
    const int count = args.value(2, QStringLiteral("20")).toInt();
    const double seconds = args.value(3, QStringLiteral("20")).toDouble();
    if (minutes < 5.0 || count < 1 || seconds < 5.0) {
        std::fprintf(stderr,
                     "usage: clip_bench [WORKDIR] [MINUTES>=5] [CLIPS>=1] [CLIPSECONDS>=5]\n");
        return 2;
    }

    // The participant's recording runs 5 s short of the reference (the generator's layout).
    const auto places = clipPlaces(minutes * 60.0 - 5.0, count, seconds);
    const QString folder =
        QDir(work).filePath(QStringLiteral("clips-%1-%2x%3").arg(minutes).arg(count).arg(seconds));
    QElapsedTimer timer;
    timer.start();
    const auto session = test::makeClipSession(folder, minutes, kRate, places, kSeed);
    if (!session) {
        std::fprintf(stderr, "could not generate the session in %s\n", qPrintable(folder));
        return 1;
    }
    std::printf("session: %.0f min at %d Hz, %d clips of %.0f s, ready in %.1f s (%s)\n", minutes,
                kRate, count, seconds, double(timer.elapsed()) / 1000.0, qPrintable(folder));
    std::printf("reference codec delay %.3f samples; participant clock %+.0f ppm\n",
                session->referenceDelaySamples, session->trackClockPpm);

    QTemporaryDir out;
    QStringList runArgs{QStringLiteral("--json"),
                        QStringLiteral("--no-sound"),
                        QStringLiteral("--no-auto-populate"),
                        QStringLiteral("--full-names"),
                        QStringLiteral("-o"),
                        out.path(),
                        session->reference};
    for (const test::GeneratedClip& c : session->clips)
        runArgs << c.path;
    runArgs << session->otherConversation << session->noise;
    QByteArray json;
    timer.restart();
    if (!test::runProgram(QStringLiteral(CORVALE_SYNC_BINARY), runArgs, &json))
        return 1;
    const double runSeconds = double(timer.elapsed()) / 1000.0;
    std::printf("run: %.1f s wall for %d clips and 2 impostors\n\n", runSeconds, count);

    std::map<QString, QJsonObject> byInput;
    for (const QJsonValue& f :
         QJsonDocument::fromJson(json).object()[QStringLiteral("files")].toArray())
        byInput[QFileInfo(f.toObject()[QStringLiteral("input")].toString()).absoluteFilePath()] =
            f.toObject();
    const auto resultOf = [&](const QString& path) {
        const auto it = byInput.find(QFileInfo(path).absoluteFilePath());
        return it == byInput.end() ? QJsonObject{} : it->second;
    };

    std::printf("%-12s %9s %12s %12s %10s %-10s %-6s %-16s %s\n", "clip", "codec", "true s",
                "reported s", "error ms", "placedBy", "band", "search", "warnings");
    int within2ms = 0, within100ms = 0, misplaced = 0, doubted = 0;
    for (const test::GeneratedClip& c : session->clips) {
        const QJsonObject file = resultOf(c.path);
        const QString name = QFileInfo(c.path).fileName();
        const QString codec = QString::asprintf(
            "%.1f", std::abs(c.codecDelaySamples) < 0.05 ? 0.0 : c.codecDelaySamples);
        if (file[QStringLiteral("status")].toString() != QStringLiteral("complete")) {
            ++misplaced;
            std::printf("%-12s %9s %12.6f %12s %10s %-10s %-6s %s\n", qPrintable(name),
                        qPrintable(codec), c.trueOffsetSamples / kRate, "-", "-", "-", "-",
                        qPrintable(text(file, "status")));
            continue;
        }
        const double reported = reportedOffset(file);
        const double errorMs = (reported - c.trueOffsetSamples) * 1000.0 / kRate;
        const bool fine =
            file[QStringLiteral("fine")].toObject()[QStringLiteral("confirmed")].toBool();
        if (std::abs(errorMs) <= 2.0)
            ++within2ms;
        if (std::abs(errorMs) <= 100.0) {
            ++within100ms;
            doubted += flaggedAsDoubtful(file) ? 1 : 0;
        } else {
            ++misplaced;
        }
        std::printf("%-12s %9s %12.6f %12.6f %10.3f %-10s %-6s %-16s %s%s\n", qPrintable(name),
                    qPrintable(codec), c.trueOffsetSamples / kRate, reported / kRate, errorMs,
                    qPrintable(text(file, "placedBy")), qPrintable(text(file, "confidenceBand")),
                    qPrintable(searchMargin(file)), qPrintable(warningCodes(file)),
                    fine ? "" : " (coarse)");
    }

    std::printf("\n%-22s %-10s %-6s %-16s %-46s %s\n", "impostor", "placedBy", "band", "search",
                "warnings", "verdict");
    int impostorsKept = 0;
    for (const QString& path : {session->otherConversation, session->noise}) {
        const QJsonObject file = resultOf(path);
        const bool kept = flaggedAsDoubtful(file);
        impostorsKept += kept ? 1 : 0;
        std::printf("%-22s %-10s %-6s %-16s %-46s %s\n", qPrintable(QFileInfo(path).fileName()),
                    qPrintable(text(file, "placedBy")), qPrintable(text(file, "confidenceBand")),
                    qPrintable(searchMargin(file)), qPrintable(warningCodes(file)),
                    kept ? "not placed" : "PLACED");
    }

    std::printf("\nsummary: %d clips of %.0f s in %.0f min, run %.1f s\n", count, seconds, minutes,
                runSeconds);
    std::printf("  within 2 ms:    %d/%d\n", within2ms, count);
    std::printf("  within 0.1 s:   %d/%d\n", within100ms, count);
    std::printf("  misplaced:      %d/%d\n", misplaced, count);
    std::printf("  placed within 0.1 s but flagged as doubtful: %d/%d\n", doubted, count);
    std::printf("  impostors kept a warning: %d/2\n", impostorsKept);

    // In process, on the files as the run converts them.
    QTemporaryDir converted;
    const QString referenceWav = converted.filePath(QStringLiteral("reference.wav"));
    QStringList clipWavs;
    bool convertedAll = test::convertAsRun(session->reference, referenceWav, kRate);
    for (std::size_t i = 0; convertedAll && i < session->clips.size(); ++i) {
        clipWavs << converted.filePath(QStringLiteral("clip%1.wav").arg(i));
        convertedAll = test::convertAsRun(session->clips[i].path, clipWavs.back(), kRate);
    }
    const SearchCost cost = convertedAll ? searchCost(referenceWav, clipWavs, kRate) : SearchCost{};
    if (cost.perClipMs < 0.0)
        std::printf("  waveform search cost: not measured\n");
    else
        std::printf("  waveform search on one core: reference prepared in %.0f ms (once per run), "
                    "then %.0f ms per clip\n",
                    cost.referenceMs, cost.perClipMs);
    return 0;
}
