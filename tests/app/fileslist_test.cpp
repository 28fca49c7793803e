// SPDX-License-Identifier: GPL-3.0-or-later
// Drop targets, file rows and the review popover.
#include "appfixture.h"

#include "contentview.h"
#include "elidedlabel.h"
#include "filerowview.h"
#include "fileslistview.h"
#include "referencedropzone.h"
#include "theme.h"
#include "warningspopover.h"

#include "session/audiofileitem.h"

#include <QDragEnterEvent>
#include <QLabel>
#include <QMimeData>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QSignalSpy>
#include <QToolButton>

namespace corvale::test {
namespace {

using Kind = ProcessingStatus::Kind;

class FilesListTest : public AppFixture {
protected:
    static std::unique_ptr<QMimeData> mime(const QList<QUrl>& urls, const QString& text = {}) {
        auto data = std::make_unique<QMimeData>();
        if (!urls.isEmpty())
            data->setUrls(urls);
        if (!text.isEmpty())
            data->setText(text);
        return data;
    }
    // Drags data over target and drops it; returns whether the drag was accepted on entry.
    static bool dragAndDrop(QWidget* target, const QMimeData* data) {
        const QPoint at = target->rect().center();
        QDragEnterEvent enter(at, Qt::CopyAction, data, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(target, &enter);
        if (!enter.isAccepted())
            return false;
        QDropEvent drop(QPointF(at), Qt::CopyAction, data, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(target, &drop);
        return true;
    }
};

TEST_F(FilesListTest, DropsAcceptOnlyFileUrls) {
    ContentView view(&session());
    view.show();
    ReferenceDropZone* zone = view.referenceZone();
    FilesListView* list = view.filesList();
    const QList<QUrl> three{audioFile(QStringLiteral("a.wav")), audioFile(QStringLiteral("b.wav")),
                            audioFile(QStringLiteral("c.wav"))};

    // A drag with file URLs turns the frame solid; leaving turns it back.
    const auto files = mime(three);
    QDragEnterEvent enter(zone->rect().center(), Qt::CopyAction, files.get(), Qt::LeftButton,
                          Qt::NoModifier);
    QCoreApplication::sendEvent(zone, &enter);
    EXPECT_TRUE(enter.isAccepted());
    EXPECT_TRUE(zone->isTargeted());
    QDragLeaveEvent leave;
    QCoreApplication::sendEvent(zone, &leave);
    EXPECT_FALSE(zone->isTargeted());

    // Text and web links are refused outright.
    const auto text = mime({}, QStringLiteral("/tmp/a.wav"));
    const auto web = mime({QUrl(QStringLiteral("https://example.org/a.wav"))});
    EXPECT_FALSE(dragAndDrop(zone, text.get()));
    EXPECT_FALSE(dragAndDrop(list, web.get()));
    EXPECT_FALSE(list->isTargeted());
    EXPECT_TRUE(session().referenceFile().isEmpty());

    // The reference takes the first file only; the list takes all, in order.
    EXPECT_TRUE(dragAndDrop(zone, files.get()));
    EXPECT_EQ(session().referenceFile(), three[0]);
    EXPECT_EQ(zone->shownName(), "a.wav");
    QSignalSpy dropped(list, &FilesListView::filesDropped);
    EXPECT_TRUE(dragAndDrop(list, files.get()));
    ASSERT_EQ(dropped.size(), 1);
    EXPECT_EQ(dropped[0][0].value<QList<QUrl>>(), three);
    ASSERT_EQ(session().individualFiles().size(), 2) << "the reference is not a file to sync";
    EXPECT_EQ(session().individualFiles()[0]->url(), three[1]);

    // A drop without any file URL still reports, with nothing in it.
    list->handleDrop(text.get());
    ASSERT_EQ(dropped.size(), 2);
    EXPECT_TRUE(dropped[1][0].value<QList<QUrl>>().isEmpty());
    QSignalSpy selected(zone, &ReferenceDropZone::fileSelected);
    zone->handleDrop(web.get());
    EXPECT_TRUE(selected.isEmpty());
}

TEST_F(FilesListTest, ListGrowsWithItsRowsThenScrolls) {
    EXPECT_EQ(FilesListView::listHeight(0), 100);
    EXPECT_EQ(FilesListView::listHeight(46), 54);
    EXPECT_EQ(FilesListView::listHeight(500), 360);

    ContentView view(&session());
    view.show();
    FilesListView* list = view.filesList();
    EXPECT_EQ(list->height(), 100);
    session().addIndividualFiles(audioFiles(5));
    const int fiveRows = 5 * list->rows().first()->sizeHint().height() + 8;
    ASSERT_LT(fiveRows, 360);
    ASSERT_TRUE(waitUntil([&] { return list->height() == fiveRows; }, 3000)) << list->height();
    EXPECT_EQ(list->scrollArea()->verticalScrollBar()->maximum(), 0);
    session().addIndividualFiles(audioFiles(12).mid(5));
    ASSERT_TRUE(waitUntil([&] { return list->targetHeight() == 360; }, 3000));
    ASSERT_TRUE(waitUntil([&] { return list->height() >= 360; }, 3000)) << list->height();
    // The scroll range follows the layout, which settles after the height.
    EXPECT_TRUE(
        waitUntil([&] { return list->scrollArea()->verticalScrollBar()->maximum() > 0; }, 3000));

    const QList<FileRowView*> rows = list->rows();
    ASSERT_EQ(rows.size(), 12);
    EXPECT_TRUE(rows.first()->showsDivider());
    EXPECT_FALSE(rows.last()->showsDivider());
}

TEST_F(FilesListTest, EachStatusHasItsIconColourAndButtons) {
    ContentView view(&session());
    view.show();
    session().addIndividualFiles({audioFile(QStringLiteral("ann.wav"))});
    AudioFileItem* item = session().individualFiles().constFirst();
    FileRowView* row = view.filesList()->rows().constFirst();
    EXPECT_EQ(row->nameLabel()->text(), "ann.wav");

    SyncResult clean;
    clean.offsetSeconds = 1.5;
    SyncResult flagged = clean;
    flagged.warnings = {{WarningKind::lowOffsetConfidence, QStringLiteral("First note.")},
                        {WarningKind::sparseDriftCoverage, QStringLiteral("Second note.")}};
    flagged.clock.line = {{30.0, 0.001}, {300.0, 0.012}, {600.0, 0.025}};
    SyncResult notFound = flagged;
    notFound.notFound = true;
    const struct {
        ProcessingStatus status;
        Glyph glyph;
        QColor color;
        bool remove;
        bool warning;
    } cases[] = {
        {ProcessingStatus::waiting(), Glyph::clock, theme::secondary(), true, false},
        {ProcessingStatus::converting(), Glyph::arrowsCircle, theme::accent(), false, false},
        {ProcessingStatus::analyzing(), Glyph::waveformEcg, theme::accent(), false, false},
        {ProcessingStatus::processing(), Glyph::gear, theme::accent(), false, false},
        {ProcessingStatus::normalizing(), Glyph::speakerWave, theme::accent(), false, false},
        {ProcessingStatus::complete(clean), Glyph::checkmarkCircleFill, theme::green(), true,
         false},
        {ProcessingStatus::complete(flagged), Glyph::checkmarkCircleFill, theme::green(), true,
         true},
        {ProcessingStatus::complete(notFound), Glyph::exclamationTriangleFill, theme::orange(),
         true, true},
        {ProcessingStatus::failed(QStringLiteral("Conversion failed: bad data")),
         Glyph::exclamationCircleFill, theme::red(), true, false},
        {ProcessingStatus::cancelled(), Glyph::xmarkCircle, theme::secondary(), true, false},
    };
    for (const auto& c : cases) {
        item->setStatus(c.status);
        const QString name = statusText(c.status);
        EXPECT_EQ(row->shownKind(), c.status.kind()) << name.toStdString();
        EXPECT_EQ(FileRowView::glyphFor(c.status), c.glyph) << name.toStdString();
        EXPECT_EQ(FileRowView::colorFor(c.status), c.color) << name.toStdString();
        EXPECT_EQ(row->statusLabel()->text(), name);
        EXPECT_EQ(row->statusLabel()->palette().color(QPalette::WindowText),
                  c.status.is(Kind::failed)                          ? theme::red()
                  : c.status.result() && c.status.result()->notFound ? theme::orange()
                                                                     : theme::secondary());
        EXPECT_EQ(row->removeButton()->isVisible(), c.remove) << name.toStdString();
        EXPECT_EQ(row->warningButton()->isVisible(), c.warning) << name.toStdString();
    }

    // The orange button opens the notes, in order, with the drift chart; a second click closes.
    item->setStatus(ProcessingStatus::complete(flagged));
    EXPECT_EQ(row->warningButton()->toolTip(), "Alignment review recommended — click for details");
    row->warningButton()->click();
    ASSERT_TRUE(row->showingWarnings());
    EXPECT_EQ(row->popover()->shownMessages(), QStringList({"First note.", "Second note."}));
    EXPECT_TRUE(row->popover()->showsDriftPlot());
    EXPECT_EQ(row->popover()->width(), 320);
    EXPECT_TRUE(row->richToolTip().contains(QStringLiteral("data:image/png;base64,")));
    EXPECT_FALSE(row->richToolTip().contains(QStringLiteral("whole reference")));
    row->warningButton()->click();
    ASSERT_TRUE(waitUntil([&] { return !row->showingWarnings(); }, 2000));
    // A file the waveform search placed says so, with or without a drift chart.
    SyncResult found = clean;
    found.placedByWaveformSearch = true;
    item->setStatus(ProcessingStatus::complete(found));
    EXPECT_TRUE(row->richToolTip().contains(QStringLiteral("whole reference")));
    item->setStatus(ProcessingStatus::complete(clean));
    EXPECT_TRUE(row->richToolTip().isEmpty());

    // Removing works through the row unless a run is under way.
    row->setRunUnderWay(true);
    EXPECT_FALSE(row->removeButton()->isEnabled());
    row->removeButton()->click();
    EXPECT_EQ(session().individualFiles().size(), 1);
    row->setRunUnderWay(false);
    row->removeButton()->click();
    EXPECT_TRUE(session().individualFiles().isEmpty());
}

TEST_F(FilesListTest, LongReviewNotesWrapInsideThePopover) {
    SyncResult result;
    result.warnings = {
        {WarningKind::lowOffsetConfidence, QString(QStringLiteral("word ")).repeated(80)}};
    WarningsPopover popover(result);
    popover.adjustSize();
    EXPECT_EQ(popover.width(), 320);
    EXPECT_GT(popover.height(), 120);
    EXPECT_FALSE(popover.showsDriftPlot());
}

TEST_F(FilesListTest, ClickingTheReferenceZoneChoosesOnlyWhileEmpty) {
    ContentView view(&session());
    view.show();
    m_host.reference = audioFile(QStringLiteral("call.wav"));
    ReferenceDropZone* zone = view.referenceZone();
    const auto click = [&] {
        QMouseEvent press(QEvent::MouseButtonPress, QPointF(5, 5), zone->mapToGlobal(QPointF(5, 5)),
                          Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
        QMouseEvent release(QEvent::MouseButtonRelease, QPointF(5, 5),
                            zone->mapToGlobal(QPointF(5, 5)), Qt::LeftButton, Qt::NoButton,
                            Qt::NoModifier);
        QCoreApplication::sendEvent(zone, &press);
        QCoreApplication::sendEvent(zone, &release);
    };
    click();
    EXPECT_EQ(m_host.panels, 1);
    EXPECT_EQ(session().referenceFile(), *m_host.reference);
    click();
    EXPECT_EQ(m_host.panels, 1) << "a click on a chosen reference does nothing";
    zone->replaceButton()->click();
    EXPECT_EQ(m_host.panels, 2);
}

} // namespace
} // namespace corvale::test
