// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "glyphs.h"

#include <QWidget>

class QLabel;

namespace corvale {

// An icon followed by a text, both in one colour, the icon sized to the text.
class GlyphLabel : public QWidget {
    Q_OBJECT
public:
    GlyphLabel(Glyph glyph, const QString& text, const QFont& font, const QColor& color,
               QWidget* parent = nullptr);

    void setText(const QString& text);
    [[nodiscard]] QString text() const;
    [[nodiscard]] QColor color() const { return m_color; }

private:
    QLabel* m_icon;
    QLabel* m_text;
    QColor m_color;
};

} // namespace corvale
