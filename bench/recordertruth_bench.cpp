// SPDX-License-Identifier: GPL-3.0-or-later
// How close the outputs of real recorders land to the truth, through the whole corvale-sync
// run. A ten-minute conversation of four voices at 48 kHz; each track is one voice recorded
// the way a real recorder records it:
//   drops     three dropped blocks (80, 250, 40 ms at 2:10, 5:03, 8:20), +40 ppm
//   inserted  a repeated block (120 ms at 3:00) and an inserted silence (60 ms at 6:40), −25 ppm
//   ratechg   a clock at +60 ppm that turns to −20 ppm at 5:00
//   xy        one voice on a coincident stereo pair: the right channel with its own colour and
//             noise, 0.02 ms later
//   ab        one voice on a spaced pair, the right channel 1 ms later, its own colour and noise
//   bleed     two voices, one per channel, each with the other's bleed at −14 dB
//   sparse    three utterances of five seconds in ten minutes
//   clip      15 s with 3 s of speech, over room noise
// Synced once against the clean mix as a WAV and once against the mix through a room's
// reverb and a 16 kbit/s Opus call at 16 kHz. Every output is compared with the voice it holds
// every 15 s (0.5 s of its loudest speech, plain cross-correlation ±4 ms); a stretch beyond
// that counts as lost. A row passes when p95 <= 1 ms, max <= 2 ms and nothing is lost, or when
// the output carries a warning: never a confident wrong answer.
//
//   recordertruth_bench [WORKDIR]   (default: a temp folder; inputs are kept and reused)
#include "benchsupport.h"
#include "demo/speechgen.h"
#include "support/clipsession.h"
#include "support/wavfile.h"

#include <QCoreApplication>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>

using namespace corvale;
using corvale::bench::percentile;

namespace {

constexpr int kRate = 48000;
constexpr double kSeconds = 600.0;
constexpr double kLead = 20.0; // voices start this long before the reference

// One stretch of a recording: from track sample `from` on, sample i holds the voice at
// voiceAt + (i - from) * ratio (voice positions count from the voice file's start).
struct Stretch {
    std::int64_t from = 0;
    double voiceAt = 0.0;
    double ratio = 1.0;
};

std::int64_t samples(double seconds) {
    return std::llround(seconds * kRate);
}

// A recorder starting at reference time `start` on a clock `ppm` off, whose stream jumps by
// `steps` (track time, seconds of voice skipped: > 0 dropped, < 0 repeated).
std::vector<Stretch> clock(double start, double ppm, std::vector<std::pair<double, double>> steps,
                           double ppmAfter = 0.0, double changeAt = -1.0) {
    std::vector<Stretch> out{{0, (kLead + start) * kRate, 1.0 + ppm * 1e-6}};
    auto at = [&](std::int64_t i) {
        const Stretch& s = out.back();
        return s.voiceAt + double(i - s.from) * s.ratio;
    };
    if (changeAt > 0.0)
        out.push_back({samples(changeAt), at(samples(changeAt)), 1.0 + ppmAfter * 1e-6});
    for (const auto& [t, jump] : steps)
        out.push_back({samples(t), at(samples(t)) + jump * kRate, out.back().ratio});
    std::sort(out.begin(), out.end(),
              [](const Stretch& a, const Stretch& b) { return a.from < b.from; });
    return out;
}

std::vector<float> record(const std::vector<float>& voice, const std::vector<Stretch>& stretches,
                          std::int64_t count) {
    std::vector<float> out;
    for (std::size_t k = 0; k < stretches.size(); ++k) {
        const std::int64_t end = k + 1 < stretches.size() ? stretches[k + 1].from : count;
        const auto piece = test::recordOnClock(voice, stretches[k].voiceAt, stretches[k].ratio,
                                               end - stretches[k].from);
        out.insert(out.end(), piece.begin(), piece.end());
    }
    return out;
}

// A microphone's own colour and noise: a one-pole low-pass (or its high-pass complement),
// a delay in samples, and white noise at −50 dBFS.
std::vector<float> colour(std::vector<float> x, double pole, bool highPass, double delay,
                          std::uint32_t seed) {
    std::vector<float> delayed = test::recordOnClock(x, -delay, 1.0, std::ssize(x));
    float state = 0.0f;
    std::mt19937 rng(seed);
    std::normal_distribution<float> noise(0.0f, 0.003f);
    for (float& v : delayed) {
        state = float(pole) * state + float(1.0 - pole) * v;
        v = (highPass ? v - 0.7f * state : state) + noise(rng);
    }
    return delayed;
}

void keepOnly(std::vector<float>& x, const std::vector<std::pair<double, double>>& spans,
              float floor = 0.0f, std::uint32_t seed = 5) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> noise(0.0f, floor);
    for (std::size_t i = 0; i < x.size(); ++i) {
        const double t = double(i) / kRate;
        bool kept = false;
        for (const auto& [a, b] : spans)
            kept = kept || (t >= a && t < b);
        x[i] = (kept ? x[i] : 0.0f) + (floor > 0.0f ? noise(rng) : 0.0f);
    }
}

struct Input {
    QString name;
    std::vector<int> voices; // the voice each output holds, in output order
};

bool makeInputs(const QString& folder, std::vector<std::vector<float>>& voices,
                std::vector<Input>& inputs) {
    QDir().mkpath(folder);
    voices = demo::conversation(4, kSeconds + 2 * kLead + 30.0, kRate, 1807, 0);
    const auto mix = demo::mix(voices, 0.6f);
    const auto count = samples(kSeconds - 30.0);
    const std::vector<float> refMix = demo::excerpt(mix, samples(kLead), samples(kSeconds));
    if (!test::writeWav(QDir(folder).filePath("ref.wav"), refMix, 1, kRate))
        return false;
    // The call: the room's reverb, the phone band, a low-bitrate voice codec.
    if (!test::runProgram(
            QStringLiteral("ffmpeg"),
            {"-y", "-loglevel", "error", "-i", QDir(folder).filePath("ref.wav"), "-af",
             "aecho=0.8:0.6:37|61|89:0.35|0.25|0.15,highpass=f=200,"
             "lowpass=f=3600",
             "-ar", "16000", "-c:a", "libopus", "-b:a", "16k", QDir(folder).filePath("call.ogg")}))
        return false;
    auto mono = [&](const QString& name, const std::vector<float>& track, std::vector<int> v) {
        inputs.push_back({name, std::move(v)});
        return test::writeWav(QDir(folder).filePath(name), track, 1, kRate);
    };
    auto stereo = [&](const QString& name, const std::vector<float>& l, const std::vector<float>& r,
                      std::vector<int> v) {
        inputs.push_back({name, std::move(v)});
        return test::writeWav(QDir(folder).filePath(name), demo::interleave(l, r), 2, kRate);
    };
    bool ok = mono(
        "drops.wav",
        record(voices[0], clock(5.3, 40, {{130, 0.080}, {303, 0.250}, {500, 0.040}}), count), {0});
    // A repeated block at 3:00, and 60 ms of silence inserted at 6:40 (the voice goes on
    // after it from where it stopped).
    auto inserted = record(voices[1], clock(-3.1, -25, {{180, -0.120}, {400, -0.060}}), count);
    std::fill(inserted.begin() + samples(400), inserted.begin() + samples(400.06), 0.0f);
    ok = ok && mono("inserted.wav", inserted, {1});
    ok = ok && mono("ratechg.wav", record(voices[2], clock(2.2, 60, {}, -20, 300), count), {2});
    const auto xy = record(voices[3], clock(1.7, 10, {}), count);
    ok = ok && stereo("xy.wav", colour(xy, 0.3, false, 0.0, 1), colour(xy, 0.5, true, 1.0, 2), {3});
    const auto ab = record(voices[0], clock(-1.2, -15, {}), count);
    ok =
        ok && stereo("ab.wav", colour(ab, 0.2, false, 0.0, 3), colour(ab, 0.6, true, 48.0, 4), {0});
    auto l = record(voices[1], clock(0.8, 25, {}), count);
    auto r = record(voices[2], clock(0.8, 25, {}), count);
    for (std::size_t i = 0; i < l.size(); ++i) {
        const float a = l[i], b = r[i];
        l[i] = a + 0.2f * b;
        r[i] = b + 0.2f * a;
    }
    ok = ok && stereo("bleed.wav", l, r, {1, 2});
    // Where a track speaks most: the loudest `length` seconds within [from, to).
    auto loudest = [](const std::vector<float>& track, double from, double to, double length) {
        const double at = double(test::loudestBlock(track, samples(from), samples(to),
                                                    samples(length), kRate / 4)) /
                          kRate;
        return std::pair{at, at + length};
    };
    auto sparse = record(voices[3], clock(4.4, -35, {}), count);
    keepOnly(sparse, {loudest(sparse, 60, 180, 5), loudest(sparse, 240, 360, 5),
                      loudest(sparse, 420, 540, 5)});
    ok = ok && mono("sparse.wav", sparse, {3});
    // The clip's three seconds of speech sit in its middle.
    const auto voiced = loudest(voices[2], kLead + 290, kLead + 330, 3);
    const double clipStart = voiced.first - kLead - 6.0;
    auto clip = record(voices[2], clock(clipStart, 0, {}), samples(15.0));
    keepOnly(clip, {{6, 9}}, 0.002f);
    ok = ok && mono("clip.wav", clip, {2});
    return ok;
}

// Lag of output against voice (voice sample n + shift + lag holds output sample n) from half a
// second at `at`, searched ±4 ms; no value when nothing correlates.
std::optional<double> lagAt(const std::vector<float>& output, const std::vector<float>& voice,
                            std::int64_t at, double shift) {
    const std::int64_t span = kRate / 2, search = kRate / 250;
    const std::int64_t base = std::llround(shift);
    std::vector<double> score(std::size_t(2 * search + 1), -2.0);
    std::int64_t best = 0;
    for (std::int64_t k = -search; k <= search; ++k) {
        double ab = 0.0, aa = 0.0, bb = 0.0;
        for (std::int64_t i = 0; i < span; i += 2) {
            const std::int64_t o = at + i, c = at + i + k + base;
            const double a = o >= 0 && o < std::ssize(output) ? output[std::size_t(o)] : 0.0;
            const double b = c >= 0 && c < std::ssize(voice) ? voice[std::size_t(c)] : 0.0;
            ab += a * b;
            aa += a * a;
            bb += b * b;
        }
        score[std::size_t(k + search)] = aa > 0 && bb > 0 ? ab / std::sqrt(aa * bb) : -2.0;
        if (score[std::size_t(k + search)] > score[std::size_t(best + search)])
            best = k;
    }
    if (score[std::size_t(best + search)] < 0.3 || best == -search || best == search)
        return std::nullopt;
    const double a = score[std::size_t(best - 1 + search)];
    const double b = score[std::size_t(best + search)];
    const double c = score[std::size_t(best + 1 + search)];
    const double d = a - 2.0 * b + c;
    return double(best) + (d < 0.0 ? 0.5 * (a - c) / d : 0.0) - (shift - double(base));
}

struct Errors {
    std::vector<double> ms;
    int lost = 0;
};

// delay: the output timeline holds the clean mix's sample n + delay at n (the reference
// copy's own codec delay), so an output should hold its voice's sample n + lead + delay.
Errors measure(const std::vector<float>& output, const std::vector<float>& voice, double delay) {
    Errors e;
    const double shift = kLead * kRate + delay;
    for (std::int64_t at = 2 * kRate; at + 16 * kRate < std::ssize(output); at += 15 * kRate) {
        const auto from = std::int64_t(double(at) + shift);
        const std::int64_t s =
            test::loudestBlock(voice, from, from + 15 * kRate, kRate / 2, kRate / 8) -
            std::int64_t(shift);
        double out = 0.0, in = 0.0;
        for (std::int64_t i = std::max<std::int64_t>(s, 0);
             i < s + kRate / 2 && i < std::ssize(output); i += 8) {
            out += double(output[std::size_t(i)]) * output[std::size_t(i)];
            const auto v = std::size_t(double(i) + shift);
            in += v < voice.size() ? double(voice[v]) * voice[v] : 0.0;
        }
        if (in < 1e-1 || out < 1e-2)
            continue; // the voice is silent here, or the track holds nothing of it
        if (const auto lag = lagAt(output, voice, s, shift))
            e.ms.push_back(std::abs(*lag) * 1000.0 / kRate);
        else
            ++e.lost;
    }
    return e;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QTemporaryDir temp;
    const QString work = app.arguments().value(1, temp.path());
    const QString folder = QDir(work).filePath(QStringLiteral("recorders"));
    std::vector<std::vector<float>> voices;
    std::vector<Input> inputs;
    std::fprintf(stderr, "generating the session…\n");
    if (!makeInputs(folder, voices, inputs))
        return 1;
    const auto mix = demo::mix(voices, 0.6f);
    int failures = 0;
    for (const QString& reference : {QStringLiteral("ref.wav"), QStringLiteral("call.ogg")}) {
        const QString out = QDir(work).filePath(QStringLiteral("out-") + reference);
        QDir(out).removeRecursively();
        QStringList args{QStringLiteral("--json"),
                         QStringLiteral("--no-sound"),
                         QStringLiteral("--full-names"),
                         QStringLiteral("--no-auto-populate"),
                         QStringLiteral("-o"),
                         out,
                         QDir(folder).filePath(reference)};
        for (const Input& input : inputs)
            args << QDir(folder).filePath(input.name);
        QProcess run;
        run.start(QStringLiteral(CORVALE_SYNC_BINARY), args);
        run.waitForFinished(-1);
        const QJsonObject report = QJsonDocument::fromJson(run.readAllStandardOutput()).object();
        const QString copyPath =
            report[QStringLiteral("referenceCopy")][QStringLiteral("path")].toString(
                QDir(folder).filePath(reference));
        const auto copy = test::readMono(copyPath);
        // The copy's sample j holds the clean mix's j - d: the outputs hold their voices late
        // by as much.
        const auto late =
            test::measureDelay(demo::excerpt(copy, 60 * kRate, 20 * kRate),
                               demo::excerpt(mix, samples(kLead + 60.0), 20 * kRate), kRate / 20);
        const double delay = -late.value_or(0.0);
        std::printf("\nreference %s (exit %d, its copy %.3f ms behind the clean mix)\n",
                    qPrintable(reference), run.exitCode(), -delay * 1e3 / kRate);
        std::printf("%-12s %-9s %-12s %7s %7s %7s %5s  %s\n", "track", "output", "verdict",
                    "p50 ms", "p95 ms", "max ms", "lost", "warnings");
        const QJsonArray files = report[QStringLiteral("files")].toArray();
        for (std::size_t f = 0; f < inputs.size() && f < std::size_t(files.size()); ++f) {
            const QJsonObject file = files[qsizetype(f)].toObject();
            const QJsonArray outputs = file[QStringLiteral("outputs")].toArray();
            QStringList codes;
            for (const QJsonValue& w : file[QStringLiteral("warnings")].toArray())
                codes << w[QStringLiteral("code")].toString();
            const QString verdict = file[QStringLiteral("verdict")].toString();
            for (qsizetype o = 0; o < outputs.size(); ++o) {
                const int voice = inputs[f].voices[std::size_t(
                    std::min<qsizetype>(o, qsizetype(inputs[f].voices.size()) - 1))];
                const Errors e = measure(test::readMono(outputs[o].toString()),
                                         voices[std::size_t(voice)], delay);
                const double p95 = percentile(e.ms, 0.95);
                const double max = e.ms.empty() ? 0.0 : *std::max_element(e.ms.begin(), e.ms.end());
                const bool good = p95 <= 1.0 && max <= 2.0 && e.lost == 0 && !e.ms.empty();
                const bool pass = good || !codes.isEmpty();
                failures += pass ? 0 : 1;
                std::printf("%-12s %-9s %-12s %7.3f %7.3f %7.3f %5d  %s%s\n",
                            qPrintable(QFileInfo(inputs[f].name).baseName()),
                            outputs.size() > 1 ? (o == 0 ? "left" : "right") : "mono",
                            qPrintable(verdict), percentile(e.ms, 0.5), p95, max, e.lost,
                            qPrintable(codes.join(',')), pass ? "" : "   << CONFIDENT AND WRONG");
            }
            if (outputs.size() != qsizetype(inputs[f].voices.size()))
                std::printf("%-12s expected %zu output(s), got %lld\n", qPrintable(inputs[f].name),
                            inputs[f].voices.size(), static_cast<long long>(outputs.size()));
        }
    }
    std::printf("\n%d output(s) confidently wrong\n", failures);
    return failures == 0 ? 0 : 1;
}
