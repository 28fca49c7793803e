// SPDX-License-Identifier: GPL-3.0-or-later
#include "clipsession.h"

#include "audio/audioconverter.h"
#include "demo/speechgen.h"
#include "testenv.h"
#include "wavfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace corvale::test {

bool runProgram(const QString& program, const QStringList& args, QByteArray* out) {
    QProcess p;
    p.start(program, args);
    p.waitForFinished(-1);
    if (out)
        *out = p.readAllStandardOutput();
    if (p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        std::fprintf(stderr, "%s failed: %s\n", qPrintable(program),
                     p.readAllStandardError().left(2000).constData());
        return false;
    }
    return true;
}

std::vector<float> readMono(const QString& path, int* rate) {
    SF_INFO info{};
    SNDFILE* f = sf_open(QFile::encodeName(path).constData(), SFM_READ, &info);
    if (!f)
        return {};
    std::vector<float> interleaved(std::size_t(info.frames) * std::size_t(info.channels));
    sf_readf_float(f, interleaved.data(), info.frames);
    sf_close(f);
    if (rate)
        *rate = info.samplerate;
    if (info.channels == 1)
        return interleaved;
    std::vector<float> mono(std::size_t(info.frames));
    for (sf_count_t i = 0; i < info.frames; ++i)
        mono[std::size_t(i)] = interleaved[std::size_t(i * info.channels)];
    return mono;
}

std::vector<float> recordOnClock(std::span<const float> signal, double first, double ratio,
                                 std::int64_t count) {
    std::vector<float> out(std::size_t(std::max<std::int64_t>(count, 0)));
    const auto at = [&](std::int64_t k) {
        return k >= 0 && k < std::ssize(signal) ? signal[std::size_t(k)] : 0.0f;
    };
    for (std::int64_t i = 0; i < count; ++i) {
        const double x = first + double(i) * ratio;
        const auto k = std::int64_t(std::floor(x));
        const double u = x - double(k);
        const double p0 = at(k - 1), p1 = at(k), p2 = at(k + 1), p3 = at(k + 2);
        out[std::size_t(i)] = float(
            p1 + 0.5 * u *
                     (p2 - p0 +
                      u * (2.0 * p0 - 5.0 * p1 + 4.0 * p2 - p3 + u * (3.0 * (p1 - p2) + p3 - p0))));
    }
    return out;
}

bool convertAsRun(const QString& input, const QString& wav, int rate, double seconds) {
    ConversionRequest request;
    request.input = input;
    request.outputDir = QFileInfo(wav).absolutePath();
    request.sampleRate = rate;
    QStringList args = AudioConverter::arguments(request);
    args.removeLast(); // the run's own output name
    if (seconds > 0.0)
        args << QStringLiteral("-t") << QString::number(seconds);
    args << wav;
    return runProgram(realFFmpeg(), args);
}

namespace {

// Plain normalized cross-correlation of clean[from, from + length) with decoded shifted by lag.
double correlationAt(std::span<const float> decoded, std::span<const float> clean,
                     std::int64_t from, std::int64_t length, std::int64_t lag) {
    double ab = 0.0, aa = 0.0, bb = 0.0;
    for (std::int64_t i = from; i < from + length; ++i) {
        const double a = clean[std::size_t(i)];
        const std::int64_t j = i + lag;
        const double b = j >= 0 && j < std::ssize(decoded) ? decoded[std::size_t(j)] : 0.0;
        ab += a * b;
        aa += a * a;
        bb += b * b;
    }
    return aa > 0.0 && bb > 0.0 ? ab / std::sqrt(aa * bb) : 0.0;
}

} // namespace

std::int64_t loudestBlock(std::span<const float> clean, std::int64_t from, std::int64_t to,
                          std::int64_t length, std::int64_t step) {
    std::int64_t best = from;
    double bestEnergy = -1.0;
    for (std::int64_t s = from; s + length <= to; s += step) {
        double e = 0.0;
        for (std::int64_t i = s; i < s + length; i += 4)
            e += double(clean[std::size_t(i)]) * clean[std::size_t(i)];
        if (e > bestEnergy) {
            bestEnergy = e;
            best = s;
        }
    }
    return best;
}

std::optional<double> measureDelay(std::span<const float> decoded, std::span<const float> clean,
                                   std::int64_t maxLag) {
    constexpr std::int64_t kCoarse = 2048; // enough loud speech for one clear peak
    constexpr std::int64_t kFine = 16384;
    const std::int64_t from = maxLag;
    const std::int64_t to = std::ssize(clean) - maxLag;
    if (to - from < 3 * kFine)
        return std::nullopt;

    // The whole range of lags on the loudest short block; energies of decoded by prefix sums.
    const std::int64_t c = loudestBlock(clean, from, to, kCoarse, kCoarse / 4);
    std::vector<double> energy(std::size_t(kCoarse + 2 * maxLag + 1), 0.0);
    for (std::int64_t k = 0; k < kCoarse + 2 * maxLag; ++k) {
        const std::int64_t j = c - maxLag + k;
        const double b = j >= 0 && j < std::ssize(decoded) ? decoded[std::size_t(j)] : 0.0;
        energy[std::size_t(k + 1)] = energy[std::size_t(k)] + b * b;
    }
    double aa = 0.0;
    for (std::int64_t i = c; i < c + kCoarse; ++i)
        aa += double(clean[std::size_t(i)]) * clean[std::size_t(i)];
    double bestScore = 0.0;
    std::int64_t best = 0;
    for (std::int64_t lag = -maxLag; lag <= maxLag; ++lag) {
        float ab = 0.0f;
        const std::int64_t shift = c + lag;
        const std::int64_t lo = std::max<std::int64_t>(0, -shift);
        const std::int64_t hi = std::min<std::int64_t>(kCoarse, std::ssize(decoded) - shift);
        for (std::int64_t i = lo; i < hi; ++i)
            ab += clean[std::size_t(c + i)] * decoded[std::size_t(shift + i)];
        const double bb =
            energy[std::size_t(lag + maxLag + kCoarse)] - energy[std::size_t(lag + maxLag)];
        const double score = aa > 0.0 && bb > 0.0 ? double(ab) / std::sqrt(aa * bb) : 0.0;
        if (score > bestScore) {
            bestScore = score;
            best = lag;
        }
    }
    if (bestScore < 0.5)
        return std::nullopt;

    // Refined on the loudest long block of each third; they must agree to a quarter sample.
    std::vector<double> found;
    const std::int64_t third = (to - from) / 3;
    for (int t = 0; t < 3; ++t) {
        const std::int64_t s =
            loudestBlock(clean, from + t * third, from + (t + 1) * third, kFine, kFine / 4);
        double score[5];
        for (int k = 0; k < 5; ++k)
            score[k] = correlationAt(decoded, clean, s, kFine, best - 2 + k);
        const int top = int(std::max_element(score + 1, score + 4) - score);
        const double a = score[top - 1], b = score[top], d = score[top + 1];
        const double curve = a - 2.0 * b + d;
        if (b < 0.5)
            continue;
        found.push_back(double(best - 2 + top) + (curve < 0.0 ? 0.5 * (a - d) / curve : 0.0));
    }
    if (found.empty())
        return std::nullopt;
    std::sort(found.begin(), found.end());
    if (found.back() - found.front() > 0.25)
        return std::nullopt;
    return found[found.size() / 2];
}

namespace {

constexpr double kPieceSeconds = 300.0;
constexpr double kClockPpm = 60.0;
constexpr double kTrackStartSeconds = 2.5;
constexpr double kTrackStartFraction = 0.37; // of a sample, so that no truth is whole
constexpr double kImpostorSeconds = 20.0;
constexpr double kMeasureSeconds = 120.0; // of the reference, for its codec delay
constexpr float kRoomNoise = 0.005f;      // peak of the triangular noise, about −54 dBFS RMS

// RBJ biquad, run forwards and then backwards over the whole signal: the other microphone's
// colour without any phase shift, which would smear the truth across frequencies.
struct Biquad {
    double b0, b1, b2, a1, a2;

    static Biquad pass(double hz, double rate, bool high) {
        const double w = 2.0 * M_PI * hz / rate;
        const double alpha = std::sin(w) / (2.0 * M_SQRT1_2);
        const double cw = std::cos(w);
        const double a0 = 1.0 + alpha;
        const double b1 = high ? -(1.0 + cw) : 1.0 - cw;
        const double b0 = high ? (1.0 + cw) / 2.0 : (1.0 - cw) / 2.0;
        return {b0 / a0, b1 / a0, b0 / a0, -2.0 * cw / a0, (1.0 - alpha) / a0};
    }

    template <typename It> void run(It first, It last) const {
        double x1 = 0, x2 = 0, y1 = 0, y2 = 0;
        for (It it = first; it != last; ++it) {
            const double x = *it;
            const double y = b0 * x + b1 * x1 + b2 * x2 - a1 * y1 - a2 * y2;
            x2 = x1;
            x1 = x;
            y2 = y1;
            y1 = y;
            *it = float(y);
        }
    }
};

void otherMicrophone(std::vector<float>& signal, int rate) {
    for (const Biquad& f : {Biquad::pass(220.0, rate, true), Biquad::pass(5000.0, rate, false)}) {
        f.run(signal.begin(), signal.end());
        f.run(signal.rbegin(), signal.rend());
    }
}

void addRoomNoise(std::vector<float>& signal, float peak, std::uint32_t seed) {
    std::uint32_t state = seed * 2654435761u + 1u;
    const auto uniform = [&state] {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return float(state >> 8) * (1.0f / 16777216.0f);
    };
    for (float& v : signal)
        v += peak * (uniform() + uniform() - 1.0f);
}

bool writeFloatWav(const QString& path, std::span<const float> samples, int rate) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* f = sf_open(QFile::encodeName(path).constData(), SFM_WRITE, &info);
    if (!f)
        return false;
    const bool ok = sf_writef_float(f, samples.data(), sf_count_t(samples.size())) ==
                    sf_count_t(samples.size());
    return sf_close(f) == 0 && ok;
}

bool encodeMp3(const QString& floatWav, const QString& mp3) {
    return runProgram(realFFmpeg(), {"-y", "-loglevel", "error", "-i", floatWav, "-c:a",
                                     "libmp3lame", "-b:a", "128k", mp3});
}

// Writes clean as path (MP3 or 16-bit WAV by its extension) and measures its delay as the run
// will see it, on the first kMeasureSeconds.
std::optional<double> writeMeasured(const QString& path, std::span<const float> clean, int rate,
                                    const QTemporaryDir& temp) {
    const QString source = temp.filePath(QStringLiteral("source.wav"));
    const bool written = path.endsWith(QStringLiteral(".wav"))
                             ? writeWav(path, clean, 1, rate)
                             : writeFloatWav(source, clean, rate) && encodeMp3(source, path);
    const QString converted = temp.filePath(QStringLiteral("converted.wav"));
    if (!written || !convertAsRun(path, converted, rate, kMeasureSeconds))
        return std::nullopt;
    return measureDelay(readMono(converted),
                        clean.first(std::min(clean.size(), std::size_t(kMeasureSeconds * rate))));
}

QJsonObject argumentsJson(double minutes, int rate, const std::vector<ClipPlace>& clips,
                          std::uint32_t seed) {
    QJsonArray places;
    for (const ClipPlace& c : clips)
        places.append(QJsonArray{c.startSeconds, c.seconds});
    // Bumped whenever the generator makes other files from the same arguments.
    return {{QStringLiteral("generator"), 1},
            {QStringLiteral("minutes"), minutes},
            {QStringLiteral("rate"), rate},
            {QStringLiteral("seed"), qint64(seed)},
            {QStringLiteral("clips"), places}};
}

QJsonObject clipJson(const GeneratedClip& c) {
    return {{QStringLiteral("file"), QFileInfo(c.path).fileName()},
            {QStringLiteral("trueOffsetSamples"), c.trueOffsetSamples},
            {QStringLiteral("codecDelaySamples"), c.codecDelaySamples}};
}

GeneratedClip clipFrom(const QDir& dir, const QJsonObject& o) {
    return {dir.filePath(o[QStringLiteral("file")].toString()),
            o[QStringLiteral("trueOffsetSamples")].toDouble(),
            o[QStringLiteral("codecDelaySamples")].toDouble()};
}

const QString kRecordName = QStringLiteral("session.json");

std::optional<ClipSession> loadSession(const QDir& dir, const QJsonObject& arguments) {
    QFile file(dir.filePath(kRecordName));
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QJsonObject o = QJsonDocument::fromJson(file.readAll()).object();
    if (o[QStringLiteral("arguments")].toObject() != arguments)
        return std::nullopt;
    ClipSession s;
    s.reference = dir.filePath(o[QStringLiteral("reference")].toString());
    s.track = clipFrom(dir, o[QStringLiteral("track")].toObject());
    for (const QJsonValue& c : o[QStringLiteral("clips")].toArray())
        s.clips.push_back(clipFrom(dir, c.toObject()));
    s.otherConversation = dir.filePath(o[QStringLiteral("otherConversation")].toString());
    s.noise = dir.filePath(o[QStringLiteral("noise")].toString());
    s.rate = o[QStringLiteral("rate")].toInt();
    s.trackClockPpm = o[QStringLiteral("trackClockPpm")].toDouble();
    s.referenceDelaySamples = o[QStringLiteral("referenceDelaySamples")].toDouble();
    QStringList files{s.reference, s.track.path, s.otherConversation, s.noise};
    for (const GeneratedClip& c : s.clips)
        files << c.path;
    for (const QString& f : files) {
        if (!QFileInfo::exists(f))
            return std::nullopt;
    }
    return s;
}

bool saveSession(const QDir& dir, const QJsonObject& arguments, const ClipSession& s) {
    QJsonArray clips;
    for (const GeneratedClip& c : s.clips)
        clips.append(clipJson(c));
    const QJsonObject o{
        {QStringLiteral("arguments"), arguments},
        {QStringLiteral("reference"), QFileInfo(s.reference).fileName()},
        {QStringLiteral("track"), clipJson(s.track)},
        {QStringLiteral("clips"), clips},
        {QStringLiteral("otherConversation"), QFileInfo(s.otherConversation).fileName()},
        {QStringLiteral("noise"), QFileInfo(s.noise).fileName()},
        {QStringLiteral("rate"), s.rate},
        {QStringLiteral("trackClockPpm"), s.trackClockPpm},
        {QStringLiteral("referenceDelaySamples"), s.referenceDelaySamples}};
    QFile file(dir.filePath(kRecordName));
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(QJsonDocument(o).toJson()) > 0;
}

} // namespace

std::optional<ClipSession> makeClipSession(const QString& folder, double minutes, int rate,
                                           const std::vector<ClipPlace>& clips,
                                           std::uint32_t seed) {
    const QDir dir(folder);
    const QJsonObject arguments = argumentsJson(minutes, rate, clips, seed);
    if (auto cached = loadSession(dir, arguments))
        return cached;
    if (!QDir().mkpath(folder))
        return std::nullopt;

    QTemporaryDir temp;
    if (!temp.isValid())
        return std::nullopt;

    // The conversation 5 minutes at a time (the generator works on whole lists): the mix to a
    // file for the encoder, the participant's voice whole for its recorder, and the mix's
    // beginning for the reference's delay. The voice runs on past the reference for the
    // participant's slower clock.
    const auto referenceFrames = std::int64_t(minutes * 60.0 * rate);
    const auto voiceFrames = std::int64_t((minutes * 60.0 + 30.0) * rate);
    const auto measureFrames = std::min(referenceFrames, std::int64_t(kMeasureSeconds * rate));
    std::vector<float> voice;
    std::vector<float> mixStart;
    voice.reserve(std::size_t(voiceFrames));
    {
        SF_INFO info{};
        info.samplerate = rate;
        info.channels = 1;
        info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
        SNDFILE* mixFile =
            sf_open(QFile::encodeName(temp.filePath(QStringLiteral("mix.wav"))).constData(),
                    SFM_WRITE, &info);
        if (!mixFile)
            return std::nullopt;
        std::int64_t written = 0;
        for (std::uint32_t piece = 0; std::ssize(voice) < voiceFrames; ++piece) {
            const auto voices = demo::conversation(3, kPieceSeconds, rate, seed * 1000u + piece, 0);
            const auto mixed = demo::mix(voices, 0.6f);
            const auto take = std::min(std::ssize(voices[0]), voiceFrames - std::ssize(voice));
            voice.insert(voice.end(), voices[0].begin(), voices[0].begin() + take);
            const auto toMix = std::min(std::ssize(mixed), referenceFrames - written);
            sf_writef_float(mixFile, mixed.data(), toMix);
            written += toMix;
            const auto toKeep = std::min(std::ssize(mixed), measureFrames - std::ssize(mixStart));
            mixStart.insert(mixStart.end(), mixed.begin(),
                            mixed.begin() + std::max<std::ptrdiff_t>(toKeep, 0));
        }
        sf_close(mixFile);
    }

    ClipSession s;
    s.rate = rate;
    s.trackClockPpm = kClockPpm;
    // The reference encodes while the participant's files are made. 48 kb/s is plenty at
    // 16 kHz; the fast coder is still AAC with its priming, in a third of the time.
    s.reference = dir.filePath(QStringLiteral("reference.m4a"));
    const QString mixWav = temp.filePath(QStringLiteral("mix.wav"));
    QProcess encoder;
    encoder.start(realFFmpeg(),
                  {"-y", "-loglevel", "error", "-i", mixWav, "-c:a", "aac", "-aac_coder", "fast",
                   "-b:a", rate <= 24000 ? "48k" : "96k", s.reference});

    // Participant sample i holds the voice at reference position first + i * ratio.
    const double ratio = 1.0 + kClockPpm * 1e-6;
    const double first = kTrackStartSeconds * rate + kTrackStartFraction;
    const auto trackFrames = std::int64_t((minutes * 60.0 - 5.0) * rate);
    std::vector<float> track = recordOnClock(voice, first, ratio, trackFrames);
    voice = {};
    otherMicrophone(track, rate);
    addRoomNoise(track, kRoomNoise, seed + 1);
    // Where a file whose first sample holds participant sample `start`, `delay` samples late,
    // lines up with the clean mix; the reference's own delay is added once it is known.
    const auto onMix = [&](double start, double delay) { return first + (start - delay) * ratio; };
    s.track.path = dir.filePath(QStringLiteral("track.wav"));
    const auto trackDelay = writeMeasured(s.track.path, track, rate, temp);
    if (!trackDelay)
        return std::nullopt;
    s.track = {s.track.path, onMix(0.0, *trackDelay), *trackDelay};

    for (std::size_t i = 0; i < clips.size(); ++i) {
        const auto start = std::clamp<std::int64_t>(std::llround(clips[i].startSeconds * rate), 0,
                                                    trackFrames - 1);
        const auto count =
            std::min<std::int64_t>(std::llround(clips[i].seconds * rate), trackFrames - start);
        const std::span<const float> clean(track.data() + start, std::size_t(count));
        const QString path = dir.filePath(QStringLiteral("clip-%1.%2")
                                              .arg(int(i) + 1, 2, 10, QLatin1Char('0'))
                                              .arg(QLatin1String(i % 3 == 2 ? "wav" : "mp3")));
        const auto delay = writeMeasured(path, clean, rate, temp);
        if (!delay)
            return std::nullopt;
        s.clips.push_back({path, onMix(double(start), *delay), *delay});
    }

    // The impostors: the same kind of voice through the same microphone, but from a
    // conversation this one never had; and the room with nobody speaking.
    const auto impostorFrames = std::int64_t(kImpostorSeconds * rate);
    auto other =
        demo::conversation(3, kImpostorSeconds + 1.0, rate, seed * 1000u + 999u, 0).front();
    other.resize(std::size_t(impostorFrames));
    otherMicrophone(other, rate);
    addRoomNoise(other, kRoomNoise, seed + 2);
    s.otherConversation = dir.filePath(QStringLiteral("other-conversation.mp3"));
    std::vector<float> noise(std::size_t(impostorFrames), 0.0f);
    addRoomNoise(noise, 4.0f * kRoomNoise, seed + 3);
    otherMicrophone(noise, rate);
    s.noise = dir.filePath(QStringLiteral("noise.wav"));
    const QString source = temp.filePath(QStringLiteral("source.wav"));
    if (!writeFloatWav(source, other, rate) || !encodeMp3(source, s.otherConversation) ||
        !writeWav(s.noise, noise, 1, rate))
        return std::nullopt;

    encoder.waitForFinished(-1);
    if (encoder.exitStatus() != QProcess::NormalExit || encoder.exitCode() != 0) {
        std::fprintf(stderr, "encoding the reference failed: %s\n",
                     encoder.readAllStandardError().left(2000).constData());
        return std::nullopt;
    }
    QFile::remove(mixWav);
    const QString referenceWav = temp.filePath(QStringLiteral("reference.wav"));
    if (!convertAsRun(s.reference, referenceWav, rate, kMeasureSeconds))
        return std::nullopt;
    const auto referenceDelay = measureDelay(readMono(referenceWav), mixStart);
    if (!referenceDelay)
        return std::nullopt;
    s.referenceDelaySamples = *referenceDelay;
    s.track.trueOffsetSamples += s.referenceDelaySamples;
    for (GeneratedClip& c : s.clips)
        c.trueOffsetSamples += s.referenceDelaySamples;

    if (!saveSession(dir, arguments, s))
        return std::nullopt;
    return s;
}

} // namespace corvale::test
