// SPDX-License-Identifier: GPL-3.0-or-later
#include "session/appviewmodel.h"
#include "session/preferences.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>

#include "support/qtprinters.h"

#include <gtest/gtest.h>

using namespace corvale;

namespace {

void touch(const QString& path) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
}

QStringList fileNames(const AppViewModel& session) {
    QStringList names;
    for (const AudioFileItem* item : session.individualFiles())
        names << QFileInfo(item->url().toLocalFile()).fileName();
    return names;
}

class FileSelection : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_dir.isValid());
        Preferences::clearOverrides();
    }
    void TearDown() override { Preferences::clearOverrides(); }
    QString path(const QString& relative) const { return m_dir.filePath(relative); }
    QUrl url(const QString& relative) const { return QUrl::fromLocalFile(path(relative)); }

    QTemporaryDir m_dir;
    AppViewModel m_session{QStringLiteral("/usr/bin/ffmpeg"), nullptr};
};

} // namespace

TEST_F(FileSelection, OriginalAudioFolderIsAddedInNaturalOrder) {
    for (const char* name : {"b.m4a", "a10.wav", "notes.txt", "A2.wav", "a1.wav", ".hidden.wav"})
        touch(path(QStringLiteral("Ep1/Original Audio/") + QLatin1String(name)));
    touch(path(QStringLiteral("Ep1/Tracks/mix.wav")));
    m_session.addReferenceFile(url(QStringLiteral("Ep1/Tracks/mix.wav")));
    EXPECT_EQ(fileNames(m_session), (QStringList{"a1.wav", "A2.wav", "a10.wav", "b.m4a"}));
    EXPECT_EQ(m_session.statusMessage(), QStringLiteral("Added 4 files automatically"));
}

TEST_F(FileSelection, ProjectFolderIsSearchedOnlyWithALogicPackage) {
    touch(path(QStringLiteral("Ep1/host.wav")));
    touch(path(QStringLiteral("Ep1/guest.aiff")));
    touch(path(QStringLiteral("Ep1/Tracks/mix.wav")));
    m_session.addReferenceFile(url(QStringLiteral("Ep1/Tracks/mix.wav")));
    EXPECT_TRUE(m_session.individualFiles().isEmpty());
    EXPECT_EQ(m_session.statusMessage(), QStringLiteral("Ready"));

    QDir().mkpath(path(QStringLiteral("Ep1/Ep1.logicx")));
    AppViewModel fresh(QStringLiteral("/usr/bin/ffmpeg"), nullptr);
    fresh.addReferenceFile(url(QStringLiteral("Ep1/Tracks/mix.wav")));
    EXPECT_EQ(fileNames(fresh), (QStringList{"guest.aiff", "host.wav"}));
    EXPECT_EQ(fresh.statusMessage(), QStringLiteral("Added 2 files automatically"));
}

TEST_F(FileSelection, SearchFindingOnlyKnownFilesLeavesTheStatusAlone) {
    touch(path(QStringLiteral("Ep1/Original Audio/a.wav")));
    touch(path(QStringLiteral("Ep1/Tracks/mix.wav")));
    m_session.addIndividualFiles({url(QStringLiteral("Ep1/Original Audio/a.wav"))});
    m_session.addReferenceFile(url(QStringLiteral("Ep1/Tracks/mix.wav")));
    EXPECT_EQ(m_session.individualFiles().size(), 1);
    EXPECT_EQ(m_session.statusMessage(), QStringLiteral("Ready"));
}

TEST_F(FileSelection, SearchCanBeSwitchedOff) {
    touch(path(QStringLiteral("Ep1/Original Audio/a.wav")));
    touch(path(QStringLiteral("Ep1/Tracks/mix.wav")));
    Preferences::setOverride(QStringLiteral("autoPopulateFiles"), false);
    m_session.addReferenceFile(url(QStringLiteral("Ep1/Tracks/mix.wav")));
    EXPECT_TRUE(m_session.individualFiles().isEmpty());
}

TEST_F(FileSelection, ReferenceLeavesTheListAndTheSameReferenceDoesNothing) {
    m_session.addIndividualFiles({url("S/T/a.wav"), url("S/T/b.wav")});
    QSignalSpy referenceChanges(&m_session, &AppViewModel::referenceFileChanged);
    m_session.addReferenceFile(url("S/T/a.wav"));
    EXPECT_EQ(fileNames(m_session), QStringList{"b.wav"});
    // Choosing the same reference again does not search again.
    touch(path(QStringLiteral("S/Original Audio/late.wav")));
    m_session.addReferenceFile(url("S/T/a.wav"));
    EXPECT_EQ(referenceChanges.count(), 1);
    EXPECT_EQ(fileNames(m_session), QStringList{"b.wav"});
}

TEST_F(FileSelection, AddingSkipsKnownFilesAndTheReference) {
    m_session.addReferenceFile(url("ref.wav"));
    m_session.addIndividualFiles({url("a.wav")});
    m_session.addIndividualFiles({url("a.wav"), url("ref.wav"), url("c.wav"), url("c.wav")});
    // The same file given twice in one call is synced once.
    EXPECT_EQ(fileNames(m_session), (QStringList{"a.wav", "c.wav"}));
    const AudioFileItem* second = m_session.individualFiles()[1];
    m_session.removeFile(second);
    EXPECT_EQ(fileNames(m_session), (QStringList{"a.wav"}));
    m_session.clearIndividualFiles();
    EXPECT_TRUE(m_session.individualFiles().isEmpty());
}

TEST_F(FileSelection, ValidationAndOutputFolderFollowTheChoices) {
    AppViewModel noTool(std::nullopt, nullptr);
    EXPECT_EQ(noTool.validationMessage(),
              QStringLiteral("ffmpeg not found — install with: sudo apt install ffmpeg"));
    EXPECT_FALSE(noTool.canSync());

    EXPECT_EQ(m_session.validationMessage(), QStringLiteral("Add a reference file to continue."));
    m_session.addReferenceFile(QUrl::fromLocalFile(QStringLiteral("/a/b/ref.m4a")));
    EXPECT_EQ(m_session.validationMessage(), QStringLiteral("Add at least one file to sync."));
    EXPECT_EQ(m_session.effectiveOutputFolder(), QUrl::fromLocalFile(QStringLiteral("/a/b")));
    EXPECT_FALSE(m_session.canSync());
    QSignalSpy canSyncChanges(&m_session, &AppViewModel::canSyncChanged);
    m_session.addIndividualFiles({QUrl::fromLocalFile(QStringLiteral("/a/b/x.wav"))});
    EXPECT_FALSE(m_session.validationMessage().has_value());
    EXPECT_TRUE(m_session.canSync());
    EXPECT_EQ(canSyncChanges.count(), 1);
    m_session.setOutputFolder(QUrl::fromLocalFile(QStringLiteral("/out")));
    EXPECT_EQ(m_session.effectiveOutputFolder(), QUrl::fromLocalFile(QStringLiteral("/out")));

    m_session.resetSession();
    EXPECT_TRUE(m_session.referenceFile().isEmpty());
    EXPECT_TRUE(m_session.individualFiles().isEmpty());
    EXPECT_TRUE(m_session.outputFolder().isEmpty());
    EXPECT_EQ(m_session.statusMessage(), QStringLiteral("Ready"));
}

TEST(FormatElapsed, RoundsToWholeSecondsAndMinutes) {
    EXPECT_EQ(AppViewModel::formatElapsed(0.4), QStringLiteral("0s"));
    EXPECT_EQ(AppViewModel::formatElapsed(59.4), QStringLiteral("59s"));
    EXPECT_EQ(AppViewModel::formatElapsed(59.5), QStringLiteral("1m 0s"));
    EXPECT_EQ(AppViewModel::formatElapsed(125), QStringLiteral("2m 5s"));
    EXPECT_EQ(AppViewModel::formatElapsed(3600), QStringLiteral("60m 0s"));
}
