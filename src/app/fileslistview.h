// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "droptargetframe.h"

class QPushButton;
class QScrollArea;
class QStackedLayout;
class QVariantAnimation;
class QVBoxLayout;

namespace corvale {

class AudioFileItem;
class FileRowView;

// The files to sync: a drop target that lists one row per file, grows with them and takes the
// window's spare height.
class FilesListView : public DropTargetFrame {
    Q_OBJECT
public:
    explicit FilesListView(QWidget* parent = nullptr);

    // The least height for rows that together are rowsHeight tall: 100 when empty, else the
    // rows plus 8, at most 360 (beyond that the list scrolls).
    [[nodiscard]] static int listHeight(int rowsHeight);

    [[nodiscard]] QSize sizeHint() const override;
    [[nodiscard]] QSize minimumSizeHint() const override;

    void setFiles(const QList<AudioFileItem*>& files);
    void setRunUnderWay(bool on);
    // Every file URL, in order; a drop without any still reports (with an empty list).
    void handleDrop(const QMimeData* mime) override;

    [[nodiscard]] QList<FileRowView*> rows() const { return m_rows; }
    [[nodiscard]] int targetHeight() const { return m_target; }
    [[nodiscard]] QPushButton* chooseButton() const { return m_choose; }
    [[nodiscard]] QScrollArea* scrollArea() const { return m_scroll; }

signals:
    void removeRequested(AudioFileItem* item);
    void filesDropped(const QList<QUrl>& urls);
    void browseRequested();
    void revealFailed(const QString& problem);

private:
    void animateTo(int height);
    // Rows change height as their texts come and go.
    void updateHeight();

    QStackedLayout* m_pages;
    QPushButton* m_choose;
    QScrollArea* m_scroll;
    QWidget* m_rowHost;
    QVBoxLayout* m_rowStack;
    QList<FileRowView*> m_rows;
    QVariantAnimation* m_animation;
    int m_target = 0;
    int m_shownHeight = 0;
    bool m_runUnderWay = false;
};

} // namespace corvale
