// SPDX-License-Identifier: GPL-3.0-or-later
// The application shell: menu commands and their enabling, the window's life, the progress
// panel, and quitting while a run is going.
#include "appfixture.h"

#include "corvaleapp.h"
#include "mainwindow.h"
#include "menucommands.h"
#include "progressfloaterpanel.h"
#include "progressfloaterview.h"

#include <QAction>
#include <QDir>
#include <QGuiApplication>
#include <QLabel>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>

#include <csignal>

namespace corvale::test {
namespace {

using C = MenuCommands::Command;

class ShellTest : public AppFixture {
protected:
    // Which commands are enabled, as one string for readable failures.
    static QString enabled(const MenuCommands& menus) {
        const std::pair<C, const char*> names[] = {{C::openReference, "openRef"},
                                                   {C::openFiles, "openFiles"},
                                                   {C::openOutputFolder, "output"},
                                                   {C::clearFiles, "clear"},
                                                   {C::syncFiles, "sync"},
                                                   {C::cancel, "cancel"},
                                                   {C::reset, "reset"},
                                                   {C::mainWindow, "window"}};
        QStringList on;
        for (const auto& [command, name] : names) {
            if (menus.action(command)->isEnabled())
                on << QString::fromLatin1(name);
        }
        return on.join(u' ');
    }
};

TEST_F(ShellTest, MenusHaveTheirTitlesAndShortcuts) {
    MainWindow window(&session());
    const MenuCommands& menus = *window.commands();
    EXPECT_EQ(menus.fileMenu()->title(), "&File");
    EXPECT_EQ(menus.syncMenu()->title(), "&Sync");
    EXPECT_EQ(menus.windowMenu()->title(), "&Window");
    const std::tuple<C, const char*, const char*> expected[] = {
        {C::openReference, "Open Reference File…", "Ctrl+O"},
        {C::openFiles, "Open Files to Sync…", "Ctrl+Shift+O"},
        {C::openOutputFolder, "Open Output Folder", "Ctrl+Shift+R"},
        {C::clearFiles, "Clear Files to Sync", "Ctrl+Backspace"},
        {C::syncFiles, "Sync Files", "Ctrl+S"},
        {C::cancel, "Cancel", "Ctrl+."},
        {C::reset, "Reset", "Ctrl+R"},
        {C::mainWindow, "Corvale Window", "Ctrl+0"},
        {C::quit, "Quit", "Ctrl+Q"},
        {C::about, "About Corvale", ""},
    };
    for (const auto& [command, title, keys] : expected) {
        EXPECT_EQ(menus.action(command)->text(), QString::fromUtf8(title));
        EXPECT_EQ(menus.action(command)->shortcut().toString(), QString::fromLatin1(keys)) << title;
    }
    EXPECT_EQ(window.windowTitle(), "Corvale");
    EXPECT_EQ(window.size(), QSize(600, 480));
    EXPECT_EQ(window.minimumSizeHint().width() >= 540, true);

    // The launch work's entries go above "About Corvale".
    QAction extra(QStringLiteral("Check for Updates…"));
    window.commands()->addHelpAction(&extra);
    EXPECT_EQ(menus.helpMenu()->actions().constFirst(), &extra);
    EXPECT_EQ(menus.helpMenu()->actions().constLast(), menus.action(C::about));
}

TEST_F(ShellTest, MenuEnablingFollowsTheSessionAndTheWindow) {
    MainWindow window(&session());
    const MenuCommands& menus = *window.commands();
    EXPECT_EQ(enabled(menus), "reset window") << "no window open yet";

    window.show();
    EXPECT_EQ(enabled(menus), "openRef openFiles window") << "fresh session";

    session().addReferenceFile(audioFile(QStringLiteral("call.wav"), 4.0));
    EXPECT_EQ(enabled(menus), "openRef openFiles output reset window") << "reference set";

    session().addIndividualFiles({audioFile(QStringLiteral("ann.wav"))});
    EXPECT_EQ(enabled(menus), "openRef openFiles output clear sync reset window");

    session().setOutputFolder(QUrl::fromLocalFile(m_dir.path()));
    session().startProcessing();
    EXPECT_EQ(enabled(menus), "output cancel window") << "running";

    // Closing the window leaves the run going and the session-bound commands off.
    window.close();
    EXPECT_TRUE(session().isProcessing());
    EXPECT_EQ(enabled(menus), "reset window") << "no window open";
    window.reopen();
    EXPECT_EQ(enabled(menus), "output cancel window");

    menus.action(C::cancel)->trigger();
    if (session().runUnderWay()) {
        EXPECT_EQ(enabled(menus), "output window") << "cancelled run still winding down";
    }
    ASSERT_TRUE(waitUntil([&] { return !session().runUnderWay(); }, 30000));
    EXPECT_EQ(enabled(menus), "openRef openFiles output clear sync reset window");

    menus.action(C::reset)->trigger();
    EXPECT_EQ(enabled(menus), "openRef openFiles window");
}

TEST_F(ShellTest, FloaterIsASmallTopmostPanelFollowingTheRun) {
    ProgressFloaterPanel panel(&session());
    EXPECT_EQ(panel.size(), QSize(380, 76));
    EXPECT_EQ(panel.windowTitle(), "Corvale");
    const Qt::WindowFlags flags = panel.windowFlags();
    EXPECT_TRUE(flags & Qt::WindowStaysOnTopHint);
    EXPECT_TRUE(flags & Qt::WindowDoesNotAcceptFocus);
    EXPECT_TRUE(flags & Qt::CustomizeWindowHint);
    EXPECT_FALSE(flags & (Qt::WindowCloseButtonHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowMaximizeButtonHint));
    EXPECT_TRUE(panel.testAttribute(Qt::WA_ShowWithoutActivating));

    panel.show();
    const ProgressFloaterView& view = *panel.view();
    EXPECT_EQ(view.statusLabel()->text(), "Ready");
    EXPECT_FALSE(view.cancelButton()->isVisible());
    EXPECT_EQ(view.progressBar()->value(), 0);

    session().addReferenceFile(audioFile(QStringLiteral("call.wav"), 4.0));
    session().addIndividualFiles({audioFile(QStringLiteral("ann.wav"))});
    session().setOutputFolder(QUrl::fromLocalFile(m_dir.path()));
    session().startProcessing();
    EXPECT_TRUE(view.cancelButton()->isVisible());
    view.cancelButton()->click();
    EXPECT_EQ(view.statusLabel()->text(), "Cancelled");
    EXPECT_FALSE(view.cancelButton()->isVisible());
    ASSERT_TRUE(waitUntil([&] { return !session().runUnderWay(); }, 30000));

    session().startProcessing();
    ASSERT_TRUE(waitUntil([&] { return !session().runUnderWay(); }, 60000));
    // The floater tells the same counted summary as the window.
    EXPECT_EQ(view.statusLabel()->text(), session().statusMessage());
    EXPECT_TRUE(view.statusLabel()->text().startsWith(QStringLiteral("Finished in ") +
                                                      *session().elapsedTime() + " — "));
    EXPECT_EQ(view.progressBar()->value(), 1000);
}

TEST_F(ShellTest, QuittingOrBeingToldToEndDuringARunCancelsItAndLeavesNothingBehind) {
    const QString tmp = m_dir.filePath(QStringLiteral("tmp"));
    ASSERT_TRUE(QDir().mkpath(tmp));
    struct TempDirOverride {
        QByteArray previous = qgetenv("TMPDIR");
        explicit TempDirOverride(const QString& dir) { qputenv("TMPDIR", dir.toLocal8Bit()); }
        ~TempDirOverride() {
            if (previous.isNull())
                qunsetenv("TMPDIR");
            else
                qputenv("TMPDIR", previous);
        }
    } tempDir(tmp);
    const QUrl reference = audioFile(QStringLiteral("call.wav"), 120.0);
    const QList<QUrl> files{audioFile(QStringLiteral("ann.wav"), 100.0, 3),
                            audioFile(QStringLiteral("bob.wav"), 100.0, 4)};
    // The Quit command, then SIGTERM (a logout, `kill`): unhandled, it ended the process
    // where it stood, run folder and all.
    for (const bool bySignal : {false, true}) {
        SCOPED_TRACE(bySignal ? "SIGTERM" : "Quit");
        CorvaleApp app;
        EXPECT_FALSE(QGuiApplication::quitOnLastWindowClosed()) << "outlives its windows";
        AppViewModel& vm = *app.session();
        vm.addReferenceFile(reference);
        vm.addIndividualFiles(files);
        const QString out =
            m_dir.filePath(bySignal ? QStringLiteral("out2") : QStringLiteral("out"));
        ASSERT_TRUE(QDir().mkpath(out));
        vm.setOutputFolder(QUrl::fromLocalFile(out));
        vm.startProcessing();
        // Let the conversions start so that there are children and a temporary folder.
        const auto runFolders = [&] {
            return QDir(tmp).entryList({QStringLiteral("Corvale_*")}, QDir::Dirs);
        };
        ASSERT_TRUE(waitUntil([&] { return !runFolders().isEmpty(); }, 10000));
        ASSERT_TRUE(vm.isProcessing());
        if (bySignal) {
            ::raise(SIGTERM);
            ASSERT_TRUE(waitUntil([&] { return app.isQuitting(); }, 5000));
            EXPECT_EQ(app.quitSignal(), SIGTERM);
        } else {
            app.commands()->action(C::quit)->trigger();
        }
        EXPECT_FALSE(vm.runUnderWay());
        EXPECT_TRUE(runFolders().isEmpty());
        // Whatever is in the output folder is a whole file.
        for (const QString& name : QDir(out).entryList(QDir::Files))
            EXPECT_TRUE(readWav(QDir(out).filePath(name)).ok) << name.toStdString();
    }
}

} // namespace
} // namespace corvale::test
