// SPDX-License-Identifier: GPL-3.0-or-later
// A session with small generated inputs on disk, for the widget tests.
#pragma once

#include "demo/speechgen.h"
#include "session/appviewmodel.h"
#include "session/preferences.h"
#include "support/testenv.h"
#include "support/wavfile.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>

namespace corvale::test {

// Answers the open panels with prepared choices and records the sounds asked for.
class ScriptedHost : public SessionHost {
public:
    std::optional<QUrl> chooseReferenceFile(const QString&) override {
        ++panels;
        return reference;
    }
    QList<QUrl> chooseIndividualFiles(const QString&) override {
        ++panels;
        return files;
    }
    void playSound(const QString& name) override { sounds << name; }
    void quitApplication() override {}

    std::optional<QUrl> reference;
    QList<QUrl> files;
    QStringList sounds;
    int panels = 0;
};

class AppFixture : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_dir.isValid());
        Preferences::clearOverrides();
        Preferences::setOverride(QStringLiteral("autoPopulateFiles"), false);
        Preferences::setOverride(QStringLiteral("chimeWhenDone"), false);
    }
    void TearDown() override {
        m_session.reset();
        Preferences::clearOverrides();
    }

    AppViewModel& session(std::optional<QString> ffmpeg = realFFmpeg()) {
        if (!m_session)
            m_session = std::make_unique<AppViewModel>(std::move(ffmpeg), &m_host);
        return *m_session;
    }
    // A few seconds of speech-like mono audio.
    QUrl audioFile(const QString& name, double seconds = 3.0, std::uint32_t seed = 1) {
        const QString path = m_dir.filePath(name);
        EXPECT_TRUE(writeWav(path, demo::speechLike(seconds, 16000, seed), 1, 16000));
        return QUrl::fromLocalFile(path);
    }
    QList<QUrl> audioFiles(int count) {
        QList<QUrl> urls;
        for (int i = 0; i < count; ++i)
            urls << audioFile(QStringLiteral("voice %1.wav").arg(i + 1), 2.0, std::uint32_t(i + 2));
        return urls;
    }

    QTemporaryDir m_dir;
    ScriptedHost m_host;
    std::unique_ptr<AppViewModel> m_session;
};

} // namespace corvale::test
