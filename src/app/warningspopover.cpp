// SPDX-License-Identifier: GPL-3.0-or-later
#include "warningspopover.h"

#include "driftplot.h"
#include "glyphlabel.h"
#include "theme.h"

#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QScreen>
#include <QVBoxLayout>

namespace corvale {
namespace {
constexpr int kWidth = 320;
constexpr int kInset = 16;

QLabel* wrappingLabel(const QString& text, const QFont& font, const QColor& color) {
    auto* label = new QLabel(text);
    label->setWordWrap(true);
    label->setTextFormat(Qt::PlainText);
    theme::style(label, font, color);
    return label;
}

} // namespace

WarningsPopover::WarningsPopover(const SyncResult& result, QWidget* parent)
    : QFrame(parent, Qt::Popup) {
    setAttribute(Qt::WA_DeleteOnClose);
    // The click that closes the popover must not reach the button again and reopen it.
    setAttribute(Qt::WA_NoMouseReplay);
    setFixedWidth(kWidth);
    auto* stack = new QVBoxLayout(this);
    stack->setContentsMargins(kInset, kInset, kInset, kInset);
    stack->setSpacing(10);
    stack->setSizeConstraint(QLayout::SetFixedSize);

    stack->addWidget(new GlyphLabel(Glyph::exclamationTriangleFill,
                                    QStringLiteral("Review recommended"), theme::headline(),
                                    theme::orange()));
    const int textWidth = kWidth - 2 * kInset;
    for (const SyncWarning& warning : result.warnings) {
        auto* row = new QHBoxLayout;
        row->setSpacing(6);
        row->setAlignment(Qt::AlignTop);
        auto* bullet = new QLabel;
        bullet->setPixmap(
            glyphPixmap(Glyph::circleFill, theme::secondary(), 8, devicePixelRatioF()));
        bullet->setFixedSize(8, 8);
        auto* bulletBox = new QVBoxLayout;
        bulletBox->setContentsMargins(0, 5, 0, 0);
        bulletBox->addWidget(bullet);
        bulletBox->addStretch();
        auto* message = wrappingLabel(warning.message, theme::callout(), theme::primary());
        message->setFixedWidth(textWidth - 14);
        row->addLayout(bulletBox);
        row->addWidget(message, 1);
        stack->addLayout(row);
        m_messages << warning.message;
    }
    if (result.clock.line.size() >= 2) {
        auto* plot = new DriftPlot(result.clock);
        plot->setFixedSize(textWidth, 92);
        stack->addWidget(plot);
        m_hasPlot = true;
    }
    auto* footnote = wrappingLabel(
        QStringLiteral("The synced file was still written — these notes just flag where the "
                       "alignment is less certain so you can spot-check it."),
        theme::caption(), theme::secondary());
    footnote->setFixedWidth(textWidth);
    stack->addWidget(footnote);
}

void WarningsPopover::popUp(const QWidget* anchor) {
    adjustSize();
    QPoint at = anchor->mapToGlobal(QPoint(anchor->width() - width(), anchor->height() + 2));
    if (const QScreen* screen = anchor->screen()) {
        const QRect area = screen->availableGeometry();
        if (at.y() + height() > area.bottom())
            at.setY(anchor->mapToGlobal(QPoint(0, 0)).y() - height() - 2);
        at.setX(std::clamp(at.x(), area.left(), std::max(area.left(), area.right() - width())));
        at.setY(std::max(at.y(), area.top()));
    }
    move(at);
    show();
}

void WarningsPopover::hideEvent(QHideEvent* event) {
    QFrame::hideEvent(event);
    emit closed();
}

void WarningsPopover::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), palette().color(QPalette::Window));
    painter.setPen(theme::tinted(theme::secondary(), 0.5));
    painter.drawRect(rect().adjusted(0, 0, -1, -1));
}

} // namespace corvale
