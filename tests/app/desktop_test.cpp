// SPDX-License-Identifier: GPL-3.0-or-later
// The window on an ordinary Linux desktop: rows that can be read and name what was written,
// "Show in File Manager" with no file manager, and a desktop without a tray.
#include "appfixture.h"

#include "contentview.h"
#include "corvaleapp.h"
#include "desktoplaunchhost.h"
#include "desktopsessionhost.h"
#include "elidedlabel.h"
#include "filerowview.h"
#include "fileslistview.h"
#include "mainwindow.h"
#include "menucommands.h"
#include "progressfloaterpanel.h"

#include "session/audiofileitem.h"

#include <QAction>
#include <QDir>
#include <QFile>
#include <QToolButton>

namespace corvale::test {
namespace {

class DesktopTest : public AppFixture {};

TEST_F(DesktopTest, RowsFitTheirTextAndNameTheFilesWritten) {
    // No session bus: the file manager can be reached neither over D-Bus nor by the platform.
    qunsetenv("DBUS_SESSION_BUS_ADDRESS");
    ContentView view(&session());
    view.resize(560, 600);
    view.show();
    session().addIndividualFiles({audioFile(QStringLiteral("ann.wav"))});
    AudioFileItem* item = session().individualFiles().constFirst();
    FileRowView* row = view.filesList()->rows().constFirst();

    const QString error = QStringLiteral("Conversion failed: ") +
                          QStringLiteral("the decoder gave up on a damaged frame. ").repeated(8);
    item->setStatus(ProcessingStatus::failed(error));
    waitUntil([] { return false; }, 400);
    ElidedLabel* status = row->statusLabel();
    // Whole lines, inside the row: nothing cut off at the bottom.
    EXPECT_GE(status->height(), status->fontMetrics().height());
    EXPECT_LE(status->mapTo(row, QPoint(0, status->height())).y(), row->height());
    EXPECT_GE(row->height(), row->sizeHint().height());
    EXPECT_TRUE(status->shownText().endsWith(QStringLiteral("…")));
    EXPECT_EQ(status->toolTip(), QStringLiteral("Error: ") + error);
    EXPECT_FALSE(row->outputLabel()->isVisible());
    EXPECT_FALSE(row->revealButton()->isVisible());

    SyncResult stereo;
    stereo.outputURL = QUrl::fromLocalFile(m_dir.filePath(QStringLiteral("Ann-2-synced.wav")));
    stereo.outputURLRight = QUrl::fromLocalFile(m_dir.filePath(QStringLiteral("Ann-R-synced.wav")));
    item->setStatus(ProcessingStatus::complete(stereo));
    waitUntil([] { return false; }, 400);
    EXPECT_EQ(row->outputLabel()->text(), QStringLiteral("→ Ann-2-synced.wav, Ann-R-synced.wav"));
    EXPECT_TRUE(row->outputLabel()->isVisible());
    EXPECT_LE(row->outputLabel()->mapTo(row, QPoint(0, row->outputLabel()->height())).y(),
              row->height());
    // The list grew with the row's third line.
    EXPECT_GE(view.filesList()->height(), row->sizeHint().height() + 8);

    ASSERT_TRUE(row->revealButton()->isVisible());
    row->revealButton()->click();
    ASSERT_TRUE(waitUntil([&] { return !view.notice().isEmpty(); }, 5000));
    EXPECT_EQ(view.statusLabel()->text(),
              QStringLiteral("No file manager could open “%1”.").arg(m_dir.path()));
}

TEST_F(DesktopTest, RefusalsAreSaidInTheStatusLine) {
    qunsetenv("DBUS_SESSION_BUS_ADDRESS");
    MainWindow window(&session());
    window.show();
    ElidedLabel* status = window.content()->statusLabel();
    const QUrl reference = audioFile(QStringLiteral("call.wav"));
    session().addReferenceFile(reference);
    session().addIndividualFiles({reference});
    EXPECT_TRUE(session().individualFiles().isEmpty());
    EXPECT_EQ(status->text(),
              QStringLiteral("“call.wav” is the reference, so it is not also a file to sync."));

    window.commands()->action(MenuCommands::Command::openOutputFolder)->trigger();
    EXPECT_EQ(status->text(), QStringLiteral("No file manager could open “%1”.").arg(m_dir.path()));

    // Outside requests speak through the launch host.
    DesktopLaunchHost host(&window, {}, {});
    host.showNotice(QStringLiteral("Skipped, not a regular file: “null”"));
    EXPECT_EQ(status->text(), QStringLiteral("Skipped, not a regular file: “null”"));
    // The notice gives way to the session's next word.
    session().addIndividualFiles({audioFile(QStringLiteral("ann.wav"))});
    session().startProcessing();
    EXPECT_NE(status->text(), QStringLiteral("Skipped, not a regular file: “null”"));
    waitUntil([&] { return !session().runUnderWay(); }, 60000);
}

TEST_F(DesktopTest, FileDialogsStartInTheReferencesFolderElseTheLastOneUsed) {
    CorvaleApp app(false);
    DesktopSessionHost& host = *app.host();
    const QString elsewhere = m_dir.filePath(QStringLiteral("elsewhere"));
    ASSERT_TRUE(QDir().mkpath(elsewhere));
    host.rememberFolder({QUrl::fromLocalFile(elsewhere + QStringLiteral("/ann.wav"))});
    EXPECT_EQ(host.startFolder(), elsewhere);
    app.session()->addReferenceFile(audioFile(QStringLiteral("call.wav")));
    EXPECT_EQ(host.startFolder(), m_dir.path());
}

TEST_F(DesktopTest, WithoutATrayClosingTheWindowQuitsOnceNothingRuns) {
    {
        CorvaleApp withTray(true);
        withTray.showMainWindow();
        withTray.mainWindow()->close();
        EXPECT_FALSE(withTray.isQuitting());
    }
    CorvaleApp idle(false);
    idle.showMainWindow();
    idle.mainWindow()->close();
    EXPECT_TRUE(idle.isQuitting());

    // Closed during a run: the floater stays, and the end decides.
    const auto closeDuringRun = [&](CorvaleApp& app, const QUrl& track) {
        AppViewModel& vm = *app.session();
        vm.setOutputFolder(QUrl::fromLocalFile(m_dir.path()));
        vm.addReferenceFile(QUrl::fromLocalFile(m_dir.filePath(QStringLiteral("call.wav"))));
        vm.addIndividualFiles({track});
        app.showMainWindow();
        vm.startProcessing();
        ASSERT_TRUE(vm.runUnderWay());
        app.mainWindow()->close();
        EXPECT_FALSE(app.isQuitting());
        ASSERT_NE(app.closedWindowFloater(), nullptr);
        EXPECT_TRUE(app.closedWindowFloater()->isVisible());
        ASSERT_TRUE(waitUntil([&] { return !vm.runUnderWay(); }, 120000));
        waitUntil([] { return false; }, 100);
    };
    constexpr int kRate = 16000;
    const auto voices = demo::conversation(3, 60.0, kRate, 7);
    ASSERT_TRUE(
        writeWav(m_dir.filePath(QStringLiteral("call.wav")), demo::mix(voices, 0.7f), 1, kRate));
    const QString ann = m_dir.filePath(QStringLiteral("ann.wav"));
    ASSERT_TRUE(writeWav(ann, demo::excerpt(voices[0], 6 * kRate, 50 * kRate), 1, kRate));
    {
        CorvaleApp clean(false);
        closeDuringRun(clean, QUrl::fromLocalFile(ann));
        ASSERT_TRUE(clean.session()->lastReport());
        EXPECT_TRUE(clean.session()->lastReport()->isClean())
            << clean.session()->statusMessage().toStdString();
        EXPECT_TRUE(clean.isQuitting());
    }
    CorvaleApp failing(false);
    const QString broken = m_dir.filePath(QStringLiteral("broken.wav"));
    QFile file(broken);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(QByteArray(4096, 'x'));
    file.close();
    closeDuringRun(failing, QUrl::fromLocalFile(broken));
    EXPECT_FALSE(failing.isQuitting());
    EXPECT_TRUE(failing.mainWindow()->isVisible());
    EXPECT_EQ(failing.closedWindowFloater(), nullptr);
}

} // namespace
} // namespace corvale::test
