// SPDX-License-Identifier: GPL-3.0-or-later
// The few icons Corvale shows, drawn with QPainter so that they look the same with no icon theme
// installed (minimal desktops, headless test runs).
#pragma once

#include <QColor>
#include <QIcon>
#include <QPixmap>
#include <QRectF>

class QPainter;

namespace corvale {

enum class Glyph {
    clock,
    arrowsCircle,
    waveform,
    waveformEcg,
    gear,
    speakerWave,
    checkmarkCircleFill,
    exclamationCircleFill,
    exclamationTriangleFill,
    xmarkCircle,
    folder,
    people,
    personWave,
    arrowDownDoc,
    waveformBadgePlus,
    checkmark,
    circleFill,
    appIcon,
};

// Draws glyph into the square centred in rect.
void paintGlyph(QPainter& painter, const QRectF& rect, Glyph glyph, const QColor& color);
// An icon that draws glyph at whatever size is asked; disabled icons are drawn faded.
[[nodiscard]] QIcon glyphIcon(Glyph glyph, const QColor& color);
[[nodiscard]] QPixmap glyphPixmap(Glyph glyph, const QColor& color, int size,
                                  double devicePixelRatio = 1.0);

} // namespace corvale
