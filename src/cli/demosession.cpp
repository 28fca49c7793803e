// SPDX-License-Identifier: GPL-3.0-or-later
#include "demosession.h"

#include "demo/speechgen.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QProcess>

#include <sndfile.h>

namespace corvale::cli {
namespace {

constexpr double kRate = 48000.0;
constexpr double kLength = 8 * 60.0;

std::int64_t frames(double seconds) {
    return static_cast<std::int64_t>(seconds * kRate);
}

bool writeWav(const QString& path, const std::vector<float>& samples) {
    SF_INFO info{};
    info.channels = 1;
    info.samplerate = int(kRate);
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* file = sf_open(QFile::encodeName(path).constData(), SFM_WRITE, &info);
    if (!file)
        return false;
    sf_command(file, SFC_SET_CLIPPING, nullptr, SF_TRUE);
    const auto count = static_cast<sf_count_t>(samples.size());
    const bool ok = sf_writef_float(file, samples.data(), count) == count;
    return sf_close(file) == 0 && ok;
}

// Encodes wav into output with extra arguments; removes wav afterwards.
QString encode(const QString& ffmpeg, const QString& wav, const QString& output,
               const QStringList& extra) {
    QProcess process;
    process.setStandardInputFile(QProcess::nullDevice());
    process.start(ffmpeg, QStringList{QStringLiteral("-y"), QStringLiteral("-loglevel"),
                                      QStringLiteral("error"), QStringLiteral("-i"), wav} +
                              extra + QStringList{output});
    const bool finished = process.waitForFinished(300000);
    QFile::remove(wav);
    if (!finished || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        return QStringLiteral("ffmpeg could not encode %1: %2")
            .arg(output, QString::fromUtf8(process.readAllStandardError()).trimmed());
    return {};
}

} // namespace

DemoSession createDemoSession(const QString& requested, const QString& ffmpegPath) {
    DemoSession demo;
    QString folder = requested;
    if (folder.isEmpty()) {
        folder =
            QDir(QDir::tempPath())
                .filePath(QStringLiteral("corvale-demo-") +
                          QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss")));
    }
    QDir dir(folder);
    if (dir.exists() && !dir.isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden)) {
        demo.error = QStringLiteral("The demo folder must be new or empty: %1").arg(folder);
        return demo;
    }
    if (!QDir().mkpath(folder)) {
        demo.error = QStringLiteral("Cannot create the demo folder: %1").arg(folder);
        return demo;
    }
    demo.folder = QDir(folder).absolutePath();
    dir = QDir(demo.folder);
    demo.outputFolder = dir.filePath(QStringLiteral("Synced"));

    const auto voices = demo::conversation(4, kLength, kRate, 7, 3);
    const auto& alice = voices[0];
    const auto& bob = voices[1];
    const auto& carol = voices[2];
    const auto& dan = voices[3];
    const std::int64_t total = frames(kLength);

    struct Track {
        QString name;
        std::vector<float> samples;
        QStringList encoding;
    };
    const QStringList aac{QStringLiteral("-c:a"), QStringLiteral("aac"), QStringLiteral("-b:a"),
                          QStringLiteral("128k")};
    const QStringList mp3{QStringLiteral("-c:a"), QStringLiteral("libmp3lame"),
                          QStringLiteral("-b:a"), QStringLiteral("128k")};
    std::vector<Track> tracks;
    // The call: every voice, band-limited and at the rate of a voice call.
    tracks.push_back({QStringLiteral("Call recording.m4a"), demo::mix(voices, 0.7f),
                      QStringList{QStringLiteral("-ar"), QStringLiteral("16000")} + aac});
    // Alice pressed record 7.5 s after the call began.
    tracks.push_back({QStringLiteral("Alice - local.m4a"),
                      demo::excerpt(alice, frames(7.5), total - frames(7.5)), aac});
    // Bob was already recording 4.2 s before the call began.
    std::vector<float> bobTrack = demo::speechLike(4.2, kRate, 99);
    bobTrack.resize(static_cast<std::size_t>(frames(4.2)), 0.0f);
    bobTrack.insert(bobTrack.end(), bob.begin(), bob.end());
    tracks.push_back({QStringLiteral("Bob - local.mp3"), std::move(bobTrack), mp3});
    // Carol's recorder split the session into two files.
    tracks.push_back({QStringLiteral("Carol part 1.wav"),
                      demo::excerpt(carol, frames(2.0), frames(250.0) - frames(2.0)),
                      {}});
    tracks.push_back({QStringLiteral("Carol part 2.wav"),
                      demo::excerpt(carol, frames(252.0), total - frames(252.0)),
                      {}});
    // Dan hosts; he pressed record 16 s in, on a recorder whose clock runs slow: 0.9 s
    // behind the call after eight minutes.
    const std::vector<float> danFromStart = demo::excerpt(dan, frames(16.0), total - frames(16.0));
    tracks.push_back({QStringLiteral("Dan - local.wav"),
                      demo::resampleByRatio(danFromStart, 1.0 + 0.9 / kLength),
                      {}});

    for (const Track& track : tracks) {
        const QString path = dir.filePath(track.name);
        const bool isWav = track.encoding.isEmpty();
        const QString wav = isWav ? path : path + QStringLiteral(".source.wav");
        if (!writeWav(wav, track.samples)) {
            demo.error = QStringLiteral("Cannot write %1").arg(wav);
            return demo;
        }
        if (!isWav) {
            demo.error = encode(ffmpegPath, wav, path, track.encoding);
            if (!demo.error.isEmpty())
                return demo;
        }
        if (demo.reference.isEmpty())
            demo.reference = path;
        else
            demo.files << path;
    }
    return demo;
}

} // namespace corvale::cli
