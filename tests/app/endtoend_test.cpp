// SPDX-License-Identifier: GPL-3.0-or-later
// The real window, driven as a user would: choose a reference and files, press "Sync Files",
// wait for "Done", and find every row complete with its output on disk.
#include "appfixture.h"

#include "contentview.h"
#include "elidedlabel.h"
#include "filerowview.h"
#include "fileslistview.h"
#include "mainwindow.h"
#include "referencedropzone.h"

#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QPushButton>
#include <QToolButton>

namespace corvale::test {
namespace {

class EndToEndTest : public AppFixture {};

TEST_F(EndToEndTest, SyncsFromTheWindowToDone) {
    constexpr int kRate = 16000;
    const auto voices = demo::conversation(3, 60.0, kRate, 7);
    const auto take = [&](int voice, double from, double length) {
        return demo::excerpt(voices[std::size_t(voice)], std::int64_t(from * kRate),
                             std::int64_t(length * kRate));
    };
    const QString call = m_dir.filePath(QStringLiteral("call.wav"));
    ASSERT_TRUE(writeWav(call, demo::mix(voices, 0.7f), 1, kRate));
    const QString callM4a = m_dir.filePath(QStringLiteral("call.m4a"));
    ASSERT_TRUE(encodeWithFFmpeg(call, callM4a));
    QList<QUrl> files;
    const QString ann = m_dir.filePath(QStringLiteral("Ann.wav"));
    ASSERT_TRUE(writeWav(ann, take(0, 6.0, 50.0), 1, kRate)); // started 6 s late
    files << QUrl::fromLocalFile(ann);
    const QString bobWav = m_dir.filePath(QStringLiteral("bob-src.wav"));
    ASSERT_TRUE(writeWav(bobWav, take(1, 0.0, 55.0), 1, kRate));
    const QString bob = m_dir.filePath(QStringLiteral("Bob.mp3"));
    ASSERT_TRUE(encodeWithFFmpeg(bobWav, bob));
    QFile::remove(bobWav);
    files << QUrl::fromLocalFile(bob);
    const QString carol = m_dir.filePath(QStringLiteral("Carol.wav"));
    ASSERT_TRUE(writeWav(carol, take(2, 3.0, 52.0), 1, kRate));
    files << QUrl::fromLocalFile(carol);
    const QString out = m_dir.filePath(QStringLiteral("out"));
    ASSERT_TRUE(QDir().mkpath(out));

    MainWindow window(&session());
    window.show();
    ContentView& view = *window.content();
    m_host.reference = QUrl::fromLocalFile(callM4a);
    m_host.files = files;
    view.referenceZone()->chooseButton()->click();
    view.filesList()->chooseButton()->click();
    view.setFolderChooser(
        [&](QWidget*, const QUrl&) { return std::optional(QUrl::fromLocalFile(out)); });
    view.chooseOutputButton()->click();
    EXPECT_EQ(view.referenceZone()->shownName(), "call.m4a");
    ASSERT_EQ(view.filesList()->rows().size(), 3);

    ASSERT_TRUE(view.syncButton()->isEnabled());
    view.syncButton()->click();
    EXPECT_TRUE(view.cancelButton()->isVisible());
    ASSERT_TRUE(waitUntil(
        [&] { return view.statusLabel()->text().startsWith(QStringLiteral("Finished")); }, 180000))
        << view.statusLabel()->text().toStdString();
    EXPECT_FALSE(view.cancelButton()->isVisible());
    for (FileRowView* row : view.filesList()->rows()) {
        const std::string name = row->nameLabel()->text().toStdString();
        EXPECT_EQ(row->shownKind(), ProcessingStatus::Kind::complete)
            << name << ": " << row->statusLabel()->text().toStdString();
        EXPECT_TRUE(row->removeButton()->isVisible()) << name;
        const SyncResult* result = row->item()->status().result();
        ASSERT_NE(result, nullptr) << name;
        EXPECT_TRUE(QFileInfo::exists(result->outputURL.toLocalFile())) << name;
    }
    const SyncResult* annResult = view.filesList()->rows()[0]->item()->status().result();
    ASSERT_NE(annResult, nullptr);
    EXPECT_NEAR(std::abs(annResult->offsetSeconds), 6.0, 0.15);
}

} // namespace
} // namespace corvale::test
