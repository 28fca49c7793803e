// SPDX-License-Identifier: GPL-3.0-or-later
#include "progressfloaterpanel.h"

#include "progressfloaterview.h"

#include <QGuiApplication>
#include <QMouseEvent>
#include <QScreen>
#include <QVBoxLayout>
#include <QWindow>

namespace corvale {

ProgressFloaterPanel::ProgressFloaterPanel(AppViewModel* session)
    : QWidget(nullptr, Qt::Tool | Qt::WindowStaysOnTopHint | Qt::WindowDoesNotAcceptFocus |
                           Qt::CustomizeWindowHint | Qt::WindowTitleHint),
      m_view(new ProgressFloaterView(session, this)) {
    setWindowTitle(QStringLiteral("Corvale"));
    setAttribute(Qt::WA_ShowWithoutActivating);
    setAttribute(Qt::WA_DeleteOnClose, false);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_view);
    setFixedSize(kWidth, kHeight);
    centerOnScreen();
}

void ProgressFloaterPanel::centerOnScreen() {
    const QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen)
        return;
    const QRect area = screen->availableGeometry();
    move(area.center() - QPoint(kWidth / 2, kHeight / 2));
}

void ProgressFloaterPanel::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton)
        return QWidget::mousePressEvent(event);
    // Let the window manager move it where it can (Wayland allows no other way).
    if (QWindow* window = windowHandle(); window && window->startSystemMove()) {
        event->accept();
        return;
    }
    m_dragOffset = event->globalPosition().toPoint() - frameGeometry().topLeft();
    event->accept();
}

void ProgressFloaterPanel::mouseMoveEvent(QMouseEvent* event) {
    if (m_dragOffset && (event->buttons() & Qt::LeftButton)) {
        move(event->globalPosition().toPoint() - *m_dragOffset);
        event->accept();
        return;
    }
    QWidget::mouseMoveEvent(event);
}

void ProgressFloaterPanel::mouseReleaseEvent(QMouseEvent* event) {
    m_dragOffset.reset();
    QWidget::mouseReleaseEvent(event);
}

} // namespace corvale
