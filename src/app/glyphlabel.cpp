// SPDX-License-Identifier: GPL-3.0-or-later
#include "glyphlabel.h"

#include "theme.h"

#include <QHBoxLayout>
#include <QLabel>

namespace corvale {

GlyphLabel::GlyphLabel(Glyph glyph, const QString& text, const QFont& font, const QColor& color,
                       QWidget* parent)
    : QWidget(parent), m_icon(new QLabel(this)), m_text(new QLabel(text, this)), m_color(color) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(5);
    theme::style(m_text, font, color);
    const int side = QFontMetrics(font).height();
    m_icon->setPixmap(glyphPixmap(glyph, color, side, devicePixelRatioF()));
    m_icon->setFixedSize(side, side);
    row->addWidget(m_icon);
    row->addWidget(m_text);
}

void GlyphLabel::setText(const QString& text) {
    m_text->setText(text);
}

QString GlyphLabel::text() const {
    return m_text->text();
}

} // namespace corvale
