// SPDX-License-Identifier: GPL-3.0-or-later
// What real recorders do to the fine stage, on generated sessions with known truth.
//
// 1. Cost: the fine stage on a one-hour 48 kHz track (the reference from 7.25 s on, dropping
//    60 ms at 20:00 and 120 ms at 41:00): analyzeTrack with the fine stage minus without it,
//    best of three.
// 2. Precision: see recordertruth_bench, which runs the whole corvale-sync on these cases.
//
// 3. Stereo (--stereo-only): the stereo check's figures on one voice over XY and AB pairs and
//    on two voices with bleed.
//
//   recorder_bench [WORKDIR] [--cost-only | --margins-only | --stereo-only]
#include "audio/audiooutputwriter.h"
#include "benchsupport.h"
#include "session/trackanalysis.h"
#include "support/speechgen.h"
#include "support/stereopair.h"
#include "support/wavfile.h"
#include "sync/lagmeter.h"
#include "sync/syncengine.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <random>

using namespace corvale;

namespace {

// The reference from startSeconds on, with the blocks [at, at + length) (seconds of the
// reference) left out, written as it is read.
bool writeDroppingTrack(const QString& reference, const QString& track, double startSeconds,
                        const std::vector<std::pair<double, double>>& drops) {
    SF_INFO in{};
    SNDFILE* r = sf_open(QFile::encodeName(reference).constData(), SFM_READ, &in);
    if (!r)
        return false;
    SF_INFO outInfo = in;
    SNDFILE* w = sf_open(QFile::encodeName(track).constData(), SFM_WRITE, &outInfo);
    if (!w) {
        sf_close(r);
        return false;
    }
    const double rate = in.samplerate;
    std::vector<float> buffer(static_cast<std::size_t>(rate));
    sf_count_t at = sf_count_t(startSeconds * rate);
    sf_seek(r, at, SEEK_SET);
    bool ok = true;
    while (ok) {
        const sf_count_t got = sf_readf_float(r, buffer.data(), sf_count_t(buffer.size()));
        if (got <= 0)
            break;
        for (sf_count_t i = 0; i < got; ++i) {
            const double t = double(at + i) / rate;
            const bool dropped = std::any_of(drops.begin(), drops.end(), [&](const auto& d) {
                return t >= d.first && t < d.first + d.second;
            });
            if (!dropped)
                ok = sf_writef_float(w, &buffer[std::size_t(i)], 1) == 1;
        }
        at += got;
    }
    sf_close(r);
    return sf_close(w) == 0 && ok;
}

int costOfTheFineStage(const QString& work) {
    constexpr int kRate = 48000;
    const QString reference = QDir(work).filePath(QStringLiteral("hour-ref.wav"));
    const QString track = QDir(work).filePath(QStringLiteral("hour-track.wav"));
    if (!QFile::exists(track)) {
        std::fprintf(stderr, "generating one hour at 48 kHz...\n");
        if (!bench::writeSpeechWav(reference, 60, 1, kRate, 1818) ||
            !writeDroppingTrack(reference, track, 7.25, {{1207.25, 0.06}, {2467.25, 0.12}}))
            return 1;
    }
    const SyncEngine engine(kRate);
    const auto envelope = loadReferenceEnvelope(engine, reference, false, {});
    if (!envelope)
        return 1;
    std::optional<TrackAnalysisResult> last;
    const double coarse =
        bench::bestOfMs(3, [&] { (void)analyzeTrack(engine, track, false, envelope.value(), {}); });
    const double withFine = bench::bestOfMs(3, [&] {
        auto r = analyzeTrack(engine, track, false, envelope.value(), {},
                              FineReference{reference, false, nullptr});
        if (r)
            last = std::move(r.value());
    });
    std::printf("one-hour track: coarse %.0f ms, with fine stage %.0f ms, fine stage %.0f ms\n",
                coarse, withFine, withFine - coarse);
    if (last && last->fine) {
        const ClockFit& fit = last->fine->fit;
        std::printf("  windows %d measured, %d agreeing, %zu segments, confident %d\n",
                    fit.windowsMeasured, fit.windowsAgreeing, fit.segments.size(),
                    int(fit.confident));
        for (std::size_t k = 1; k < fit.segments.size(); ++k) {
            const double t = double(fit.segments[k].firstTrackSample);
            std::printf("  break at %.4f s, step %.3f ms\n", t / kRate,
                        1000.0 * (fit.segments[k].lagAt(t) - fit.segments[k - 1].lagAt(t)) / kRate);
        }
    }
    return 0;
}

// The lag meter's peak margin for 3 s windows searched ±1.45 s, as the fine stage does,
// against a reference of generated speech: the window's own speech, digital-near silence
// (room noise at -60 dB), white noise, and another conversation.
void peakMargins() {
    constexpr int kRate = 16000;
    const auto reference = demo::speechLike(600.0, kRate, 4242);
    const auto other = demo::speechLike(600.0, kRate, 977);
    std::mt19937 rng(3);
    std::normal_distribution<float> gauss(0.0f, 1.0f);
    const auto window = std::int64_t(3 * kRate);
    const auto radius = std::int64_t(1.45 * kRate);
    LagMeter meter(kRate);
    const auto stats = [&](const char* name, const std::function<std::vector<float>(int)>& make) {
        std::vector<double> margins;
        for (int i = 0; i < 60; ++i) {
            const std::int64_t at = 20 * kRate + i * 9 * kRate;
            const auto track = make(i);
            std::vector<float> ref(reference.begin() + (at - radius),
                                   reference.begin() + (at + window + radius));
            if (auto m = meter.measure(ref, at - radius, track, at))
                margins.push_back(m->margin);
        }
        std::sort(margins.begin(), margins.end());
        if (margins.empty())
            return;
        const auto q = [&](double p) {
            return margins[std::size_t(p * double(margins.size() - 1))];
        };
        std::printf("%-22s n %3zu  min %.2f  p05 %.2f  median %.2f  p95 %.2f  max %.2f\n", name,
                    margins.size(), margins.front(), q(0.05), q(0.5), q(0.95), margins.back());
    };
    stats("own speech", [&](int i) {
        const std::int64_t at = 20 * kRate + i * 9 * kRate;
        std::vector<float> t(reference.begin() + at, reference.begin() + at + window);
        for (float& v : t)
            v = 0.5f * v + 0.02f * gauss(rng); // another microphone: quieter, noisier
        return t;
    });
    stats("room noise -60 dB", [&](int) {
        std::vector<float> t(static_cast<std::size_t>(window));
        for (float& v : t)
            v = 1e-3f * gauss(rng);
        return t;
    });
    stats("white noise", [&](int) {
        std::vector<float> t(static_cast<std::size_t>(window));
        for (float& v : t)
            v = 0.1f * gauss(rng);
        return t;
    });
    stats("other conversation", [&](int i) {
        const std::int64_t at = 20 * kRate + i * 9 * kRate;
        return std::vector<float>(other.begin() + at, other.begin() + at + window);
    });
}

// The stereo check's figures on generated pairs: one voice on XY and AB microphones, two voices
// with bleed (each channel with its own colour and noise).
void stereoRelations() {
    std::printf("stereo: pair, rate, peak correlation, lag ms, envelope correlation, verdict\n");
    for (const double rate : {16000.0, 48000.0}) {
        const auto show = [&](const char* name, const test::StereoPair& pair) {
            const ChannelRelation r = relateChannels(pair.left, pair.right, rate);
            const StereoAnalysis v = stereoVerdict(pair.left, pair.right, rate);
            std::printf("  %-24s %5.0f  %.3f  %+.3f  %+.3f  %s\n", name, rate, r.peakCorrelation,
                        r.peakLagSeconds * 1e3, r.envelopeCorrelation,
                        v.kind == StereoAnalysis::Kind::split ? "split" : "one");
        };
        for (std::uint32_t seed : {1u, 2u}) {
            const auto voice = test::speechLike(30, rate, seed);
            for (const double ms : {0.0, 0.2, 0.5, 1.0}) {
                char name[40];
                std::snprintf(name, sizeof name, "one voice %.1f ms #%u", ms, seed);
                show(name, test::oneVoicePair(voice, rate, ms, seed * 10));
            }
            const auto talk = demo::conversation(2, 30, rate, seed);
            const auto a = test::speechLike(30, rate, seed + 7);
            const auto b = test::speechLike(30, rate, seed + 8);
            for (const float bleed : {0.1f, 0.2f, 0.3f}) {
                for (const double ms : {0.0, 0.5, 3.0}) {
                    char name[40];
                    std::snprintf(name, sizeof name, "turns %.0f%% %.1f ms #%u", bleed * 100, ms,
                                  seed);
                    show(name, test::twoVoicePair(talk[0], talk[1], rate, bleed, ms, seed * 10));
                    std::snprintf(name, sizeof name, "overlap %.0f%% %.1f ms #%u", bleed * 100, ms,
                                  seed);
                    show(name, test::twoVoicePair(a, b, rate, bleed, ms, seed * 10));
                }
            }
        }
    }
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    const bool costOnly = args.removeAll(QStringLiteral("--cost-only")) > 0;
    QTemporaryDir temporary;
    const QString work = args.isEmpty() ? temporary.path() : args.front();
    QDir().mkpath(work);
    if (args.removeAll(QStringLiteral("--stereo-only")) > 0) {
        stereoRelations();
        return 0;
    }
    peakMargins();
    if (args.removeAll(QStringLiteral("--margins-only")) > 0)
        return 0;
    if (const int r = costOfTheFineStage(work); r != 0)
        return r;
    if (costOnly)
        return 0;
    return 0;
}
