// SPDX-License-Identifier: GPL-3.0-or-later
// The main window's content: header, output row and the footer in every state of the session.
#include "appfixture.h"

#include "contentview.h"
#include "elidedlabel.h"
#include "filerowview.h"
#include "fileslistview.h"
#include "glyphlabel.h"

#include "session/audiofileitem.h"
#include "theme.h"

#include <QFileInfo>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QToolButton>

namespace corvale::test {
namespace {

class ContentViewTest : public AppFixture {
protected:
    // The footer's visible parts, left to right, as one string.
    static QString footer(const ContentView& view) {
        QStringList parts;
        if (view.progressBar()->isVisible())
            parts << QStringLiteral("progress");
        QString status = view.statusLabel()->text();
        status.replace(QRegularExpression(QStringLiteral("^Finished in \\d+s")),
                       QStringLiteral("Finished in Ns"));
        parts << QStringLiteral("status:") + status;
        if (view.cancelButton()->isVisible())
            parts << QStringLiteral("Cancel");
        if (view.validationLabel()->isVisible())
            parts << QStringLiteral("validation:") + view.validationLabel()->text();
        if (view.resetButton()->isVisible())
            parts << (view.resetButton()->isEnabled() ? QStringLiteral("Reset")
                                                      : QStringLiteral("Reset(off)"));
        if (view.syncButton()->isVisible()) {
            parts << (!view.syncButton()->isEnabled() ? QStringLiteral("Sync(off)")
                      : view.syncIsProminent()        ? QStringLiteral("Sync(prominent)")
                                                      : QStringLiteral("Sync"));
        }
        return parts.join(u' ');
    }
};

TEST_F(ContentViewTest, FooterFollowsEveryStateOfTheSession) {
    ContentView view(&session());
    view.resize(540, 480);
    view.show();
    EXPECT_EQ(footer(view), "status:Ready validation:Add a reference file to continue. Sync(off)");
    EXPECT_FALSE(view.ffmpegWarning()->isVisible());

    session().addReferenceFile(audioFile(QStringLiteral("call.wav"), 4.0));
    EXPECT_EQ(footer(view),
              "status:Ready validation:Add at least one file to sync. Reset Sync(off)");
    session().addIndividualFiles({audioFile(QStringLiteral("ann.wav"))});
    EXPECT_EQ(footer(view), "status:Ready Reset Sync(prominent)");

    session().setOutputFolder(QUrl::fromLocalFile(m_dir.path()));
    view.syncButton()->click();
    EXPECT_EQ(footer(view), "progress status:Starting… Cancel");

    ASSERT_TRUE(waitUntil([&] { return !session().runUnderWay(); }, 60000));
    // The two files hold unrelated audio: the summary counts the track for a listen.
    EXPECT_EQ(footer(view), "status:Finished in Ns — 1 needs review Reset Sync(prominent)");
    EXPECT_EQ(view.statusLabel()->palette().color(QPalette::WindowText), theme::orange());

    view.resetButton()->click();
    EXPECT_EQ(footer(view), "status:Ready validation:Add a reference file to continue. Sync(off)");
}

TEST_F(ContentViewTest, ResetIsRefusedWhileACancelledRunWindsDown) {
    ContentView view(&session());
    view.show();
    session().addReferenceFile(audioFile(QStringLiteral("call.wav"), 20.0));
    session().addIndividualFiles(audioFiles(2));
    session().setOutputFolder(QUrl::fromLocalFile(m_dir.path()));
    session().startProcessing();
    EXPECT_TRUE(view.clearAllButton()->isVisible());
    EXPECT_FALSE(view.clearAllButton()->isEnabled());
    const auto removable = [&] {
        int enabled = 0;
        for (const FileRowView* row : view.filesList()->rows())
            enabled += row->removeButton()->isEnabled() ? 1 : 0;
        return enabled;
    };
    view.cancelButton()->click();
    // The run ends only through the event loop (its tools end first): it is winding down now.
    ASSERT_TRUE(session().runUnderWay());
    EXPECT_FALSE(view.resetButton()->isEnabled());
    EXPECT_FALSE(view.clearAllButton()->isEnabled());
    EXPECT_EQ(removable(), 0);
    ASSERT_TRUE(waitUntil([&] { return !session().runUnderWay(); }, 30000));
    EXPECT_TRUE(view.resetButton()->isEnabled());
    EXPECT_TRUE(view.clearAllButton()->isEnabled());
    EXPECT_EQ(removable(), 2);
}

TEST_F(ContentViewTest, MissingFFmpegIsShownInTheHeaderAndTheFooter) {
    ContentView view(&session(std::nullopt));
    view.show();
    session().addReferenceFile(audioFile(QStringLiteral("call.wav")));
    session().addIndividualFiles({audioFile(QStringLiteral("ann.wav"))});
    EXPECT_TRUE(view.ffmpegWarning()->isVisible());
    EXPECT_EQ(view.ffmpegWarning()->text(), "ffmpeg not found");
    EXPECT_EQ(footer(view), "status:Ready validation:ffmpeg not found — install with: sudo apt "
                            "install ffmpeg Reset Sync(off)");
    // The longest footer still fits the narrowest window.
    EXPECT_LE(view.minimumSizeHint().width(), 540);
}

TEST_F(ContentViewTest, AddFilesAndClearAllStayOnceAFileIsListed) {
    ContentView view(&session());
    view.show();
    EXPECT_FALSE(view.clearAllButton()->isVisible());
    EXPECT_FALSE(view.addFilesButton()->isVisible());
    session().addIndividualFiles({audioFile(QStringLiteral("ann.wav"))});
    EXPECT_TRUE(view.clearAllButton()->isVisible());
    EXPECT_TRUE(view.addFilesButton()->isVisible());
    m_host.files = {audioFile(QStringLiteral("bob.wav"))};
    view.addFilesButton()->click();
    EXPECT_EQ(session().individualFiles().size(), 2);
    view.clearAllButton()->click();
    EXPECT_TRUE(session().individualFiles().isEmpty());
}

TEST_F(ContentViewTest, SpareHeightGoesToTheListNotBelowTheOutputRow) {
    ContentView view(&session());
    view.resize(600, 900);
    view.show();
    session().addIndividualFiles({audioFile(QStringLiteral("ann.wav"))});
    waitUntil([] { return false; }, 400); // the list's growth animates
    const QWidget* output = view.outputPath()->parentWidget();
    const int gap = view.progressBar()->parentWidget()->mapTo(&view, QPoint(0, 0)).y() -
                    output->mapTo(&view, QPoint(0, output->height())).y();
    EXPECT_LT(gap, 40);
    EXPECT_GT(view.filesList()->height(), 400);
}

TEST_F(ContentViewTest, OutputRowShowsTheDefaultFolderItalicAndAChosenOneUpright) {
    ContentView view(&session());
    view.show();
    EXPECT_FALSE(view.outputPath()->isVisible());
    const QUrl reference = audioFile(QStringLiteral("call.wav"));
    session().addReferenceFile(reference);
    EXPECT_TRUE(view.outputPath()->isVisible());
    EXPECT_EQ(view.outputPath()->text(), QFileInfo(reference.toLocalFile()).absolutePath());
    EXPECT_TRUE(view.outputPath()->font().italic());

    QUrl startedIn;
    const QUrl chosen = QUrl::fromLocalFile(m_dir.filePath(QStringLiteral("out")));
    view.setFolderChooser([&](QWidget*, const QUrl& start) -> std::optional<QUrl> {
        startedIn = start;
        return std::nullopt;
    });
    view.chooseOutputButton()->click();
    EXPECT_EQ(startedIn, session().effectiveOutputFolder());
    EXPECT_TRUE(session().outputFolder().isEmpty()) << "cancelling changes nothing";

    view.setFolderChooser([&](QWidget*, const QUrl&) { return std::optional(chosen); });
    view.chooseOutputFolder();
    EXPECT_EQ(session().outputFolder(), chosen);
    EXPECT_EQ(view.outputPath()->text(), chosen.toLocalFile());
    EXPECT_FALSE(view.outputPath()->font().italic());
}

} // namespace
} // namespace corvale::test
