// SPDX-License-Identifier: GPL-3.0-or-later
// Outside requests in the running application: the Help menu entries, a request that comes
// before the main window, the headless run with real windows, and a later start's hand-over.
#include "appfixture.h"

#include "corvaleapp.h"
#include "launchwiring.h"
#include "mainwindow.h"
#include "menucommands.h"
#include "progressfloaterpanel.h"

#include "launch/extensionoffer.h"
#include "launch/singleinstance.h"

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QSettings>
#include <QThread>

namespace corvale::test {
namespace {

class LaunchWiringTest : public AppFixture {
protected:
    void SetUp() override {
        AppFixture::SetUp();
        // The one-time offer would open a modal alert in the middle of the test.
        QSettings().setValue(ExtensionOffer::offeredKey, true);
    }
    FileManagerExtensions extensions() const {
        return FileManagerExtensions(QStringLiteral("corvale-file-manager-extension"),
                                     m_dir.filePath(QStringLiteral("data")));
    }
    static QString urlFor(const QUrl& file) {
        return QStringLiteral("corvale://ref?path=") +
               QString::fromLatin1(QUrl::toPercentEncoding(file.toLocalFile(), "/"));
    }
};

TEST_F(LaunchWiringTest, HelpMenuOffersTheExtensionAndTheUpdateCheck) {
    CorvaleApp app;
    LaunchWiring launch(app, extensions());
    QStringList titles;
    for (const QAction* action : app.commands()->helpMenu()->actions())
        titles << (action->isSeparator() ? QStringLiteral("—") : action->text());
    EXPECT_EQ(titles,
              (QStringList{QStringLiteral("Enable File Manager Extension…"), QStringLiteral("—"),
                           QStringLiteral("About Corvale"), QStringLiteral("Check for Updates…")}));
    EXPECT_TRUE(launch.extensionAction()->isEnabled());
    // This build has no update feed.
    EXPECT_EQ(launch.updateAction()->isEnabled(), !launch.updater().feedUrl().isEmpty());
    EXPECT_EQ(launch.updateAction()->isVisible(), !launch.updater().feedUrl().isEmpty());
}

TEST_F(LaunchWiringTest, EarlyRequestRunsHeadlessOnceTheWindowIsShownAndTheWindowComesBack) {
    const QUrl reference = audioFile(QStringLiteral("call.wav"), 30.0);
    const QUrl track = audioFile(QStringLiteral("ann.wav"), 20.0, 3);
    CorvaleApp app;
    LaunchWiring launch(app, extensions());
    QStringList panels;
    launch.host().setFileChooser([&](const QString& message, const QString&) {
        panels << message;
        return QList<QUrl>{track};
    });
    launch.handleArguments({urlFor(reference)});
    EXPECT_EQ(launch.servicesProvider().pendingReference(), reference.toLocalFile());

    MainWindow* window = app.mainWindow();
    app.showMainWindow();
    ASSERT_TRUE(waitUntil([&] { return !panels.isEmpty(); }, 10000));
    EXPECT_EQ(panels, QStringList{QStringLiteral("Choose files to sync to \"call.wav\"")});
    AppViewModel& vm = *app.session();
    EXPECT_TRUE(vm.headlessMode());
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(window->windowOpacity(), 0.0);
    ASSERT_NE(launch.host().progressFloater(), nullptr);
    EXPECT_TRUE(launch.host().progressFloater()->isVisible());

    ASSERT_TRUE(waitUntil([&] { return !vm.headlessMode() && window->isVisible(); }, 120000));
    EXPECT_TRUE(vm.individualFiles().at(0)->status().is(ProcessingStatus::Kind::complete));
    EXPECT_EQ(window->windowOpacity(), 1.0);
    EXPECT_FALSE(window->testAttribute(Qt::WA_TransparentForMouseEvents));
    EXPECT_EQ(launch.host().progressFloater(), nullptr);
    EXPECT_TRUE(waitUntil([&] { return QApplication::activeWindow() == window; }, 2000));
}

TEST_F(LaunchWiringTest, LaterStartHandsItsFileToTheRunningInstance) {
    const QUrl reference = audioFile(QStringLiteral("call.wav"), 3.0);
    CorvaleApp app;
    LaunchWiring launch(app, extensions());
    QStringList panels;
    launch.host().setFileChooser([&](const QString& message, const QString&) {
        panels << message;
        return QList<QUrl>{};
    });
    app.showMainWindow();
    SingleInstance running(m_dir.filePath(QStringLiteral("corvale.socket")));
    ASSERT_TRUE(running.listen());
    QObject::connect(&running, &SingleInstance::argumentsReceived, &launch,
                     &LaunchWiring::handleArguments);

    QThread* later = QThread::create([&] {
        SingleInstance second(running.socketPath());
        (void)second.forwardToRunningInstance({reference.toLocalFile()});
    });
    later->start();
    ASSERT_TRUE(waitUntil([&] { return !panels.isEmpty(); }, 10000));
    ASSERT_TRUE(waitUntil([&] { return later->isFinished(); }, 10000));
    delete later;
    // Cancelled: the window that was on screen comes back and the session is as it was.
    EXPECT_TRUE(waitUntil([&] { return app.mainWindow()->isVisible(); }, 2000));
    EXPECT_TRUE(app.session()->referenceFile().isEmpty());
}

} // namespace
} // namespace corvale::test
