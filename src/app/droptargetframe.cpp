// SPDX-License-Identifier: GPL-3.0-or-later
#include "droptargetframe.h"

#include "theme.h"

#include <QDragEnterEvent>
#include <QMimeData>
#include <QPainter>
#include <QPainterPath>

namespace corvale {
namespace {
constexpr double kBorder = 1.5;
constexpr double kRadius = 10.0;
} // namespace

DropTargetFrame::DropTargetFrame(Strength strength, QWidget* parent)
    : QWidget(parent), m_strength(strength) {
    setAcceptDrops(true);
}

QList<QUrl> DropTargetFrame::fileUrls(const QMimeData* mime) {
    QList<QUrl> files;
    if (!mime || !mime->hasUrls())
        return files;
    for (const QUrl& url : mime->urls()) {
        if (url.isLocalFile() && !url.toLocalFile().isEmpty())
            files.append(url);
    }
    return files;
}

void DropTargetFrame::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF shape =
        QRectF(rect()).adjusted(kBorder / 2, kBorder / 2, -kBorder / 2, -kBorder / 2);
    const QColor accent = theme::accent();
    const QColor secondary = theme::secondary();
    painter.setBrush(m_targeted ? theme::tinted(accent, m_strength.targetedFill)
                                : theme::tinted(secondary, m_strength.fill));
    QPen pen(m_targeted ? accent : theme::tinted(secondary, m_strength.border), kBorder);
    if (!m_targeted)
        pen.setDashPattern({6.0 / kBorder, 4.0 / kBorder}); // in units of the pen's width
    painter.setPen(pen);
    painter.drawRoundedRect(shape, kRadius, kRadius);
}

void DropTargetFrame::dragEnterEvent(QDragEnterEvent* event) {
    if (fileUrls(event->mimeData()).isEmpty()) {
        event->ignore();
        return;
    }
    event->acceptProposedAction();
    setTargeted(true);
}

void DropTargetFrame::dragLeaveEvent(QDragLeaveEvent* event) {
    setTargeted(false);
    event->accept();
}

void DropTargetFrame::dropEvent(QDropEvent* event) {
    setTargeted(false);
    event->acceptProposedAction();
    handleDrop(event->mimeData());
}

void DropTargetFrame::setTargeted(bool on) {
    if (m_targeted == on)
        return;
    m_targeted = on;
    update();
    emit targetedChanged(on);
}

} // namespace corvale
