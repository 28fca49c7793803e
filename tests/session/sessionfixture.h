// SPDX-License-Identifier: GPL-3.0-or-later
// Generated sessions on disk for tests that drive whole runs with the real ffmpeg.
#pragma once

#include "demo/speechgen.h"
#include "session/appviewmodel.h"
#include "session/preferences.h"
#include "support/qtprinters.h"
#include "support/testenv.h"
#include "support/wavfile.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace corvale::test {

// A test host that records what the session asked of it.
class RecordingHost : public SessionHost {
public:
    void playSound(const QString& name) override { sounds << name; }
    void quitApplication() override { ++quits; }
    QStringList sounds;
    int quits = 0;
};

class SessionFixture : public ::testing::Test {
protected:
    static constexpr int kRate = 16000;
    static constexpr double kLength = 90.0;

    void SetUp() override {
        ASSERT_TRUE(m_dir.isValid());
        // The run's temporary folders go to a private place where the test can watch them.
        m_previousTmp = qgetenv("TMPDIR");
        QDir().mkpath(tempRoot());
        qputenv("TMPDIR", tempRoot().toLocal8Bit());
        Preferences::clearOverrides();
        Preferences::setOverride(QStringLiteral("autoPopulateFiles"), false);
        Preferences::setOverride(QStringLiteral("chimeWhenDone"), true);
        m_voices = demo::conversation(3, kLength, kRate, 11);
    }
    void TearDown() override {
        m_session.reset();
        Preferences::clearOverrides();
        if (m_previousTmp.isNull())
            qunsetenv("TMPDIR");
        else
            qputenv("TMPDIR", m_previousTmp);
    }

    QString path(const QString& name) const { return m_dir.filePath(name); }
    QString tempRoot() const { return m_dir.filePath(QStringLiteral("tmp")); }
    QString outputDir() const { return m_dir.filePath(QStringLiteral("out")); }
    QStringList runTempFolders() const {
        return QDir(tempRoot()).entryList({QStringLiteral("Corvale_*")}, QDir::Dirs);
    }
    std::int64_t frames(double seconds) const { return std::int64_t(seconds * kRate); }

    // voice's material from `from` seconds on the reference timeline, `length` seconds long.
    std::vector<float> take(int voice, double from, double length) const {
        return demo::excerpt(m_voices[std::size_t(voice)], frames(from), frames(length));
    }
    QString writeMono(const QString& name, const std::vector<float>& samples, int rate = kRate) {
        const QString file = path(name);
        EXPECT_TRUE(writeWav(file, samples, 1, rate));
        return file;
    }
    QString writeStereo(const QString& name, const std::vector<float>& left,
                        const std::vector<float>& right) {
        const QString file = path(name);
        EXPECT_TRUE(writeWav(file, demo::interleave(left, right), 2, kRate));
        return file;
    }
    // Writes samples as WAV and encodes them into name's container.
    QString writeEncoded(const QString& name, const std::vector<float>& samples,
                         const QStringList& args = {}) {
        const QString wav = writeMono(name + QStringLiteral(".src.wav"), samples);
        const QString file = path(name);
        EXPECT_TRUE(encodeWithFFmpeg(wav, file, args));
        QFile::remove(wav);
        return file;
    }
    QString referenceMix() {
        return writeMono(QStringLiteral("ref.wav"), demo::mix(m_voices, 0.7f));
    }

    AppViewModel& session(const QString& ffmpeg = realFFmpeg()) {
        if (!m_session) {
            m_session = std::make_unique<AppViewModel>(ffmpeg, &m_host);
            m_session->setOutputFolder(QUrl::fromLocalFile(outputDir()));
            QObject::connect(m_session.get(), &AppViewModel::runEnded, [this] { ++m_runsEnded; });
        }
        return *m_session;
    }
    void choose(const QString& reference, const QStringList& files) {
        session().addReferenceFile(QUrl::fromLocalFile(reference));
        QList<QUrl> urls;
        for (const QString& file : files)
            urls << QUrl::fromLocalFile(file);
        session().addIndividualFiles(urls);
    }
    // Runs to the end; false on a time-out.
    bool runToEnd(int timeoutMs = 120000) {
        const int before = m_runsEnded;
        session().startProcessing();
        return waitUntil([&] { return m_runsEnded > before; }, timeoutMs);
    }
    const AudioFileItem& item(qsizetype index) { return *session().individualFiles().at(index); }
    const SyncResult& resultOf(qsizetype index) {
        const SyncResult* result = item(index).status().result();
        EXPECT_NE(result, nullptr) << statusText(item(index).status()).toStdString();
        static const SyncResult empty;
        return result ? *result : empty;
    }

    QTemporaryDir m_dir;
    QByteArray m_previousTmp;
    std::vector<std::vector<float>> m_voices;
    RecordingHost m_host;
    std::unique_ptr<AppViewModel> m_session;
    int m_runsEnded = 0;
};

} // namespace corvale::test
