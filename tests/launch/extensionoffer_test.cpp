// SPDX-License-Identifier: GPL-3.0-or-later
#include "fakelaunchhost.h"
#include "launch/extensionoffer.h"
#include "launch/filemanagerextensions.h"
#include "session/appviewmodel.h"
#include "support/qtprinters.h"
#include "support/testenv.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

using namespace corvale;
using namespace corvale::test;
using Manager = FileManagerExtensions::FileManager;

namespace {

class ExtensionTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_dir.isValid());
        QSettings().remove(ExtensionOffer::offeredKey);
    }
    // Makes the offer without its delay and waits until it has been considered: a zero-delay
    // step queued after it runs after it.
    void offer() {
        ExtensionOffer::offerFinderExtension(m_session, m_fake, m_extensions, 0);
        bool considered = false;
        QObject marker;
        QTimer::singleShot(0, &marker, [&considered] { considered = true; });
        ASSERT_TRUE(waitUntil([&considered] { return considered; }, 5000));
    }
    bool offered() const { return QSettings().value(ExtensionOffer::offeredKey).toBool(); }

    QTemporaryDir m_dir;
    FileManagerExtensions m_extensions{QStringLiteral("/usr/bin/corvale-file-manager-extension"),
                                       m_dir.path()};
    FakeLaunchHost m_fake;
    AppViewModel m_session{QStringLiteral("/usr/bin/ffmpeg"), nullptr};
};

} // namespace

TEST_F(ExtensionTest, InstallsAndRemovesOnlyItsOwnFiles) {
    EXPECT_FALSE(m_extensions.isEnabled());
    for (Manager manager : FileManagerExtensions::all()) {
        ASSERT_TRUE(m_extensions.install(manager).ok());
        EXPECT_TRUE(m_extensions.isInstalled(manager));
        const QFileInfo info(m_extensions.integrationPath(manager));
        EXPECT_TRUE(info.isExecutable()) << info.filePath().toStdString();
        QFile file(info.filePath());
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        const QString text = QString::fromUtf8(file.readAll());
        EXPECT_TRUE(text.contains(QStringLiteral("/usr/bin/corvale-file-manager-extension")));
        EXPECT_TRUE(text.contains(QStringLiteral("Use as Corvale Reference…")));
    }
    EXPECT_TRUE(m_extensions.isEnabled());
    for (Manager manager : FileManagerExtensions::all()) {
        ASSERT_TRUE(m_extensions.remove(manager).ok());
        EXPECT_FALSE(QFileInfo::exists(m_extensions.integrationPath(manager)));
    }
    EXPECT_FALSE(m_extensions.isEnabled());

    // The user's own file of that name is neither replaced nor deleted.
    const QString own = m_extensions.integrationPath(Manager::nemo);
    QDir().mkpath(QFileInfo(own).absolutePath());
    QFile file(own);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("[Nemo Action]\nName=Mine\n");
    file.close();
    EXPECT_FALSE(m_extensions.install(Manager::nemo).ok());
    EXPECT_FALSE(m_extensions.remove(Manager::nemo).ok());
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), QByteArray("[Nemo Action]\nName=Mine\n"));
}

TEST_F(ExtensionTest, EntriesHandOverTheSelectionExactlyAndHideOnceTheProgramIsGone) {
    // A script stands in for the extension's command, reached through an awkward path.
    const QString folder = m_dir.filePath(QStringLiteral("it's a $dir;x"));
    ASSERT_TRUE(QDir().mkpath(folder));
    const QString command =
        makeFakeTool(folder, QStringLiteral("extension"), QStringLiteral("printf '<%s>' \"$@\""));
    const FileManagerExtensions extensions(command, m_dir.path());
    for (Manager manager : FileManagerExtensions::all())
        ASSERT_TRUE(extensions.install(manager).ok());
    auto runScript = [&] {
        QProcess script;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("NAUTILUS_SCRIPT_SELECTED_URIS"),
                   QStringLiteral("file:///a/b%20%2541.wav\nfile:///c.wav\n"));
        script.setProcessEnvironment(env);
        // The arguments are what GLib's expansion left of the names: not to be trusted.
        script.start(extensions.integrationPath(Manager::files), {QStringLiteral("b 1.wav")});
        EXPECT_TRUE(script.waitForFinished(5000));
        EXPECT_EQ(script.exitCode(), 0);
        return script.readAllStandardOutput();
    };
    EXPECT_EQ(runScript(), QByteArray("<--uris><file:///a/b%20%2541.wav>"));

    // Nemo and Dolphin check for the program before they show the entry.
    auto text = [&](Manager manager) {
        QFile file(extensions.integrationPath(manager));
        EXPECT_TRUE(file.open(QIODevice::ReadOnly));
        return QString::fromUtf8(file.readAll());
    };
    QString listed = command;
    listed.replace(QLatin1Char(';'), QStringLiteral("\\;"));
    EXPECT_TRUE(text(Manager::nemo).contains(QStringLiteral("\nDependencies=%1;\n").arg(listed)));
    EXPECT_TRUE(text(Manager::dolphin).contains(QStringLiteral("\nTryExec=%1\n").arg(command)));
    ASSERT_TRUE(QFile::remove(command));
    EXPECT_EQ(runScript(), QByteArray());
}

TEST_F(ExtensionTest, OfferIsMadeOnceAfterTheWindowAppearsAndOpensTheSettings) {
    m_fake.answerFirst = true;
    // Not at once: the window is shown first.
    ExtensionOffer::offerFinderExtension(m_session, m_fake, m_extensions, 0);
    EXPECT_TRUE(m_fake.questions.isEmpty());
    ASSERT_TRUE(waitUntil([&] { return !m_fake.questions.isEmpty(); }, 5000));
    ASSERT_EQ(m_fake.questions.size(), 1);
    EXPECT_EQ(m_fake.questions[0],
              (QStringList{ExtensionOffer::messageText(), ExtensionOffer::informativeText(),
                           QStringLiteral("Open Extension Settings"), QStringLiteral("Not Now")}));
    EXPECT_EQ(m_fake.calls.last(), QStringLiteral("management"));
    EXPECT_TRUE(offered());

    offer();
    EXPECT_EQ(m_fake.questions.size(), 1);
}

TEST_F(ExtensionTest, OfferWaitsForAnOrdinaryLaunchAndSkipsAnEnabledExtension) {
    m_session.setHeadlessMode(true);
    offer();
    m_session.setHeadlessMode(false);
    m_fake.modal = true;
    offer();
    EXPECT_TRUE(m_fake.questions.isEmpty());
    EXPECT_FALSE(offered());

    m_fake.modal = false;
    ASSERT_TRUE(m_extensions.install(Manager::dolphin).ok());
    offer();
    EXPECT_TRUE(m_fake.questions.isEmpty());
    EXPECT_TRUE(offered());
}
