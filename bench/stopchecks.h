// SPDX-License-Identifier: GPL-3.0-or-later
// What the random-stop benchmarks share: the session they sync and what they look for after
// each stop (tools still running, run folders, outputs that are not whole).
#pragma once

#include "demo/speechgen.h"
#include "support/clipsession.h"
#include "support/wavfile.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QStringList>
#include <QThread>

#include <map>

namespace corvale::bench {

constexpr int kStopRate = 48000;
constexpr double kStopSeconds = 120.0;
constexpr double kChildGraceSeconds = 2.0;

// A two-minute reference (AAC) and three tracks (one AAC, two WAV), each on its own clock with
// its own start; generated once into folder and reused. Empty when it could not be made.
inline QStringList makeStopSession(const QString& folder) {
    QDir().mkpath(folder);
    const QStringList names{"reference.m4a", "alice.m4a", "bob.wav", "carol.wav"};
    QStringList paths;
    for (const QString& name : names)
        paths << QDir(folder).filePath(name);
    const QString done = QDir(folder).filePath(QStringLiteral("complete"));
    if (QFileInfo::exists(done))
        return paths;
    const int rate = kStopRate;
    const auto voices = demo::conversation(3, kStopSeconds + 20.0, rate, 4242, 0);
    const QString mixWav = paths[0] + QStringLiteral(".wav");
    if (!test::writeWav(
            mixWav,
            demo::excerpt(demo::mix(voices, 0.6f), 5 * rate, std::int64_t(kStopSeconds * rate)), 1,
            rate) ||
        !test::encodeWithFFmpeg(mixWav, paths[0]))
        return {};
    QFile::remove(mixWav);
    const double starts[] = {7.3, 3.1, 11.9};
    const double ppm[] = {120.0, -80.0, 40.0};
    for (int v = 0; v < 3; ++v) {
        const auto track =
            test::recordOnClock(voices[std::size_t(v)], starts[v] * rate, 1.0 + ppm[v] * 1e-6,
                                std::int64_t((kStopSeconds - 15.0) * rate));
        const QString wav = v == 0 ? paths[1] + QStringLiteral(".wav") : paths[1 + v];
        if (!test::writeWav(wav, track, 1, rate))
            return {};
        if (v == 0) {
            if (!test::encodeWithFFmpeg(wav, paths[1]))
                return {};
            QFile::remove(wav);
        }
    }
    QFile(done).open(QIODevice::WriteOnly);
    return paths;
}

// Processes whose command line names needle (tools of a run), after a grace period; with
// programs given, only those programs count.
inline int toolsLeft(const QString& needle, const QStringList& programs = {}) {
    const QByteArray encoded = QFile::encodeName(needle);
    int count = 0;
    QElapsedTimer timer;
    timer.start();
    do {
        count = 0;
        for (const QString& pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
            QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(pid));
            if (!cmdline.open(QIODevice::ReadOnly) || !cmdline.readAll().contains(encoded))
                continue;
            QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
            if (programs.isEmpty() ||
                (comm.open(QIODevice::ReadOnly) &&
                 programs.contains(QString::fromLocal8Bit(comm.readAll().trimmed()))))
                ++count;
        }
        if (count == 0)
            return 0;
        QThread::msleep(100);
    } while (timer.elapsed() < kChildGraceSeconds * 1000);
    return count;
}

// What in the output folder is not a whole output of a clean run; *whole counts the rest.
inline QStringList badOutputs(const QString& folder, const std::map<QString, long long>& fullFrames,
                              int* whole) {
    QStringList bad;
    *whole = 0;
    for (const QFileInfo& f :
         QDir(folder).entryInfoList(QDir::Files | QDir::Hidden | QDir::System)) {
        const QString name = f.fileName();
        if (name.startsWith('.')) {
            bad << name + QStringLiteral(" (hidden)");
            continue;
        }
        const auto expected = fullFrames.find(name);
        const test::WavContents wav = test::readWav(f.filePath());
        if (!wav.ok)
            bad << name + QStringLiteral(" (unreadable)");
        else if (expected == fullFrames.end())
            bad << name + QStringLiteral(" (unknown name)");
        else if (wav.frames != expected->second)
            bad << name +
                       QStringLiteral(" (%1 of %2 frames)").arg(wav.frames).arg(expected->second);
        else
            ++*whole;
    }
    return bad;
}

// The whole outputs of a clean run, by name.
inline std::map<QString, long long> outputFrames(const QString& folder) {
    std::map<QString, long long> frames;
    for (const QFileInfo& f : QDir(folder).entryInfoList(QDir::Files))
        frames[f.fileName()] = test::readWav(f.filePath()).frames;
    return frames;
}

inline QStringList runFolders(const QString& tempRoot) {
    return QDir(tempRoot).entryList({QStringLiteral("Corvale_*")},
                                    QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden);
}

} // namespace corvale::bench
