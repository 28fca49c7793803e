// SPDX-License-Identifier: GPL-3.0-or-later
#include "fileslistview.h"

#include "filerowview.h"
#include "glyphs.h"
#include "theme.h"

#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QStackedLayout>
#include <QVBoxLayout>
#include <QVariantAnimation>

#include <algorithm>

namespace corvale {

FilesListView::FilesListView(QWidget* parent)
    : DropTargetFrame({0.05, 0.10, 0.30}, parent), m_pages(new QStackedLayout(this)),
      m_choose(new QPushButton(QStringLiteral("Choose Files to Sync…"))), m_scroll(new QScrollArea),
      m_rowHost(new QWidget), m_rowStack(new QVBoxLayout(m_rowHost)),
      m_animation(new QVariantAnimation(this)) {
    auto* empty = new QWidget;
    auto* emptyStack = new QVBoxLayout(empty);
    emptyStack->setSpacing(6);
    emptyStack->setAlignment(Qt::AlignCenter);
    auto* icon = new QLabel;
    icon->setPixmap(
        glyphPixmap(Glyph::waveformBadgePlus, theme::secondary(), 22, devicePixelRatioF()));
    auto* hint = new QLabel(QStringLiteral("Drop files here"));
    theme::style(hint, theme::subheadline(), theme::secondary());
    m_choose->setFont(theme::subheadline());
    emptyStack->addWidget(icon, 0, Qt::AlignHCenter);
    emptyStack->addWidget(hint, 0, Qt::AlignHCenter);
    emptyStack->addWidget(m_choose, 0, Qt::AlignHCenter);
    connect(m_choose, &QPushButton::clicked, this, &FilesListView::browseRequested);

    m_rowStack->setContentsMargins(0, 4, 0, 4);
    m_rowStack->setSpacing(0);
    m_rowStack->addStretch();
    m_rowHost->setAutoFillBackground(false);
    m_scroll->setWidget(m_rowHost);
    m_scroll->setWidgetResizable(true);
    m_scroll->setFrameShape(QFrame::NoFrame);
    m_scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_scroll->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    // The rows sit on the drop frame's own fill; the frame's border stays visible around them.
    for (QWidget* layer : {static_cast<QWidget*>(m_scroll), m_scroll->viewport(), m_rowHost}) {
        QPalette clear = layer->palette();
        clear.setColor(QPalette::Base, Qt::transparent);
        clear.setColor(QPalette::Window, Qt::transparent);
        layer->setPalette(clear);
        layer->setAutoFillBackground(false);
    }
    m_pages->setContentsMargins(2, 2, 2, 2);

    m_pages->addWidget(empty);
    m_pages->addWidget(m_scroll);

    // A critically damped spring settles in about its response time without overshoot; an
    // out-cubic curve over that time looks the same.
    m_animation->setDuration(250);
    m_animation->setEasingCurve(QEasingCurve::OutCubic);
    connect(m_animation, &QVariantAnimation::valueChanged, this, [this](const QVariant& value) {
        m_shownHeight = value.toInt();
        updateGeometry();
    });
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Expanding);
    m_target = m_shownHeight = listHeight(0);
}

int FilesListView::listHeight(int rowsHeight) {
    if (rowsHeight <= 0)
        return 100;
    return std::min(rowsHeight + 8, 360);
}

QSize FilesListView::sizeHint() const {
    return {DropTargetFrame::sizeHint().width(), m_shownHeight};
}

QSize FilesListView::minimumSizeHint() const {
    return {DropTargetFrame::minimumSizeHint().width(), m_shownHeight};
}

void FilesListView::updateHeight() {
    int rows = 0;
    for (const FileRowView* row : std::as_const(m_rows))
        rows += row->sizeHint().height();
    animateTo(listHeight(rows));
}

void FilesListView::setFiles(const QList<AudioFileItem*>& files) {
    // A row's own remove button may be what changed the list: the row goes once that click
    // has returned, never under it.
    for (FileRowView* row : std::as_const(m_rows)) {
        m_rowStack->removeWidget(row);
        row->hide();
        row->deleteLater();
    }
    m_rows.clear();
    for (AudioFileItem* item : files) {
        auto* row = new FileRowView(item);
        row->setRunUnderWay(m_runUnderWay);
        connect(row, &FileRowView::removeRequested, this, &FilesListView::removeRequested);
        connect(row, &FileRowView::revealFailed, this, &FilesListView::revealFailed);
        connect(item, &AudioFileItem::statusChanged, this, &FilesListView::updateHeight,
                Qt::QueuedConnection);
        m_rowStack->insertWidget(m_rowStack->count() - 1, row);
        m_rows.append(row);
    }
    for (qsizetype i = 0; i < m_rows.size(); ++i)
        m_rows[i]->setShowsDivider(i + 1 < m_rows.size());
    m_pages->setCurrentIndex(files.isEmpty() ? 0 : 1);
    updateHeight();
}

void FilesListView::setRunUnderWay(bool on) {
    m_runUnderWay = on;
    for (FileRowView* row : std::as_const(m_rows))
        row->setRunUnderWay(on);
}

void FilesListView::handleDrop(const QMimeData* mime) {
    emit filesDropped(fileUrls(mime));
}

void FilesListView::animateTo(int height) {
    if (height == m_target)
        return;
    m_target = height;
    m_animation->stop();
    if (!isVisible()) {
        m_shownHeight = height;
        updateGeometry();
        return;
    }
    m_animation->setStartValue(this->height());
    m_animation->setEndValue(height);
    m_animation->start();
}

} // namespace corvale
