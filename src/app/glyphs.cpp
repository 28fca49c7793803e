// SPDX-License-Identifier: GPL-3.0-or-later
#include "glyphs.h"

#include <QIconEngine>
#include <QPainter>
#include <QPainterPath>

#include <array>
#include <cmath>
#include <numbers>

namespace corvale {
namespace {

// Glyphs are drawn on a 24 × 24 grid.
constexpr double kGrid = 24.0;

QPen strokePen(const QColor& color, double width) {
    return QPen(color, width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
}

QPointF onCircle(QPointF centre, double radius, double degrees) {
    const double r = degrees * std::numbers::pi / 180.0;
    return {centre.x() + radius * std::cos(r), centre.y() - radius * std::sin(r)};
}

void waveformBars(QPainter& p, const QColor& color, double left, double step,
                  std::initializer_list<double> heights) {
    p.setPen(strokePen(color, 2.0));
    double x = left;
    for (const double h : heights) {
        p.drawLine(QPointF(x, 12 - h / 2), QPointF(x, 12 + h / 2));
        x += step;
    }
}

// An arc from `from` to `to` degrees (counter-clockwise) with an arrowhead at its end.
void arrowArc(QPainter& p, const QColor& color, double from, double to) {
    const QPointF c(12, 12);
    const double radius = 7.5;
    QPainterPath arc;
    arc.arcMoveTo(QRectF(c.x() - radius, c.y() - radius, 2 * radius, 2 * radius), from);
    arc.arcTo(QRectF(c.x() - radius, c.y() - radius, 2 * radius, 2 * radius), from, to - from);
    p.setPen(strokePen(color, 2.0));
    p.setBrush(Qt::NoBrush);
    p.drawPath(arc);
    const QPointF tip = onCircle(c, radius, to);
    const double tangent = (to + 90.0) * std::numbers::pi / 180.0; // direction of travel
    const QPointF dir(std::cos(tangent), -std::sin(tangent));
    const QPointF normal(-dir.y(), dir.x());
    QPolygonF head{tip + dir * 3.2, tip - normal * 3.0, tip + normal * 3.0};
    p.setPen(Qt::NoPen);
    p.setBrush(color);
    p.drawPolygon(head);
}

void exclamation(QPainter& p, const QColor& color, double top, double bottom, double dotY) {
    p.setPen(strokePen(color, 2.6));
    p.drawLine(QPointF(12, top), QPointF(12, bottom));
    p.setPen(Qt::NoPen);
    p.setBrush(color);
    p.drawEllipse(QPointF(12, dotY), 1.45, 1.45);
}

void person(QPainter& p, const QColor& color, QPointF head, double scale) {
    p.setPen(Qt::NoPen);
    p.setBrush(color);
    p.drawEllipse(head, 2.8 * scale, 2.8 * scale);
    QPainterPath body;
    const QRectF shoulders(head.x() - 5 * scale, head.y() + 3.6 * scale, 10 * scale, 9 * scale);
    body.moveTo(shoulders.left(), shoulders.center().y());
    body.arcTo(shoulders, 180, -180);
    body.closeSubpath();
    p.drawPath(body);
}

void paintOnGrid(QPainter& p, Glyph glyph, const QColor& color) {
    const QColor white(Qt::white);
    p.setBrush(Qt::NoBrush);
    switch (glyph) {
    case Glyph::clock:
        p.setPen(strokePen(color, 1.8));
        p.drawEllipse(QRectF(3, 3, 18, 18));
        p.drawLine(QPointF(12, 12), QPointF(12, 7));
        p.drawLine(QPointF(12, 12), QPointF(15.5, 14));
        break;
    case Glyph::arrowsCircle:
        arrowArc(p, color, 200, 340);
        arrowArc(p, color, 20, 160);
        break;
    case Glyph::waveform:
        waveformBars(p, color, 3, 3, {5, 11, 17, 9, 14, 7, 4});
        break;
    case Glyph::waveformEcg: {
        p.setPen(strokePen(color, 1.9));
        const std::array<QPointF, 7> points{QPointF(2, 12),  QPointF(7, 12),   QPointF(9, 7),
                                            QPointF(12, 18), QPointF(15, 4.5), QPointF(17, 12),
                                            QPointF(22, 12)};
        p.drawPolyline(points.data(), int(points.size()));
        break;
    }
    case Glyph::gear: {
        p.setPen(strokePen(color, 3.0));
        for (int i = 0; i < 8; ++i) {
            const double a = i * 45.0;
            p.drawLine(onCircle({12, 12}, 6.5, a), onCircle({12, 12}, 9.5, a));
        }
        p.setPen(strokePen(color, 2.4));
        p.drawEllipse(QPointF(12, 12), 5.6, 5.6);
        p.setPen(strokePen(color, 1.6));
        p.drawEllipse(QPointF(12, 12), 2.0, 2.0);
        break;
    }
    case Glyph::speakerWave: {
        p.setPen(strokePen(color, 1.2));
        p.setBrush(color);
        const std::array<QPointF, 6> body{QPointF(3, 9),     QPointF(7, 9),  QPointF(11.5, 5),
                                          QPointF(11.5, 19), QPointF(7, 15), QPointF(3, 15)};
        p.drawPolygon(body.data(), int(body.size()));
        p.setBrush(Qt::NoBrush);
        p.setPen(strokePen(color, 1.8));
        p.drawArc(QRectF(9.5, 8, 8, 8), -50 * 16, 100 * 16);
        p.drawArc(QRectF(8, 4.5, 15, 15), -50 * 16, 100 * 16);
        break;
    }
    case Glyph::checkmarkCircleFill: {
        p.setPen(Qt::NoPen);
        p.setBrush(color);
        p.drawEllipse(QRectF(2, 2, 20, 20));
        p.setPen(strokePen(white, 2.3));
        p.setBrush(Qt::NoBrush);
        const std::array<QPointF, 3> tick{QPointF(7.2, 12.4), QPointF(10.6, 15.8),
                                          QPointF(16.8, 8.6)};
        p.drawPolyline(tick.data(), int(tick.size()));
        break;
    }
    case Glyph::exclamationCircleFill:
        p.setPen(Qt::NoPen);
        p.setBrush(color);
        p.drawEllipse(QRectF(2, 2, 20, 20));
        exclamation(p, white, 6.8, 13.2, 16.9);
        break;
    case Glyph::exclamationTriangleFill: {
        p.setPen(strokePen(color, 2.0));
        p.setBrush(color);
        const std::array<QPointF, 3> triangle{QPointF(12, 3), QPointF(22, 20.5), QPointF(2, 20.5)};
        p.drawPolygon(triangle.data(), int(triangle.size()));
        exclamation(p, white, 9, 14, 17.4);
        break;
    }
    case Glyph::xmarkCircle:
        p.setPen(strokePen(color, 1.6));
        p.drawEllipse(QRectF(3, 3, 18, 18));
        p.drawLine(QPointF(9, 9), QPointF(15, 15));
        p.drawLine(QPointF(15, 9), QPointF(9, 15));
        break;
    case Glyph::folder:
        p.setPen(strokePen(color, 1.7));
        p.drawPolygon(QPolygonF{{2.5, 6}, {9, 6}, {11, 8.2}, {21.5, 8.2}, {21.5, 19}, {2.5, 19}});
        break;
    case Glyph::people:
        person(p, color, {5, 8}, 0.75);
        person(p, color, {19, 8}, 0.75);
        person(p, color, {12, 6.5}, 0.95);
        break;
    case Glyph::personWave:
        person(p, color, {8.5, 7.5}, 1.05);
        p.setPen(strokePen(color, 1.7));
        p.drawArc(QRectF(12.5, 5.5, 6, 9), -60 * 16, 120 * 16);
        p.drawArc(QRectF(12, 2.5, 10, 15), -60 * 16, 120 * 16);
        break;
    case Glyph::arrowDownDoc: {
        p.setPen(strokePen(color, 1.6));
        p.drawPolygon(QPolygonF{{5, 2.5}, {14, 2.5}, {19, 7.5}, {19, 21.5}, {5, 21.5}});
        p.setPen(strokePen(color, 1.8));
        p.drawLine(QPointF(12, 8), QPointF(12, 17));
        const std::array<QPointF, 3> head{QPointF(8.8, 13.8), QPointF(12, 17), QPointF(15.2, 13.8)};
        p.drawPolyline(head.data(), int(head.size()));
        break;
    }
    case Glyph::waveformBadgePlus:
        waveformBars(p, color, 2.5, 2.8, {5, 11, 15, 8, 12});
        p.setPen(Qt::NoPen);
        p.setBrush(color);
        p.drawEllipse(QPointF(18, 17.5), 5.2, 5.2);
        p.setPen(strokePen(white, 1.8));
        p.drawLine(QPointF(18, 14.7), QPointF(18, 20.3));
        p.drawLine(QPointF(15.2, 17.5), QPointF(20.8, 17.5));
        break;
    case Glyph::checkmark: {
        p.setPen(strokePen(color, 3.0));
        const std::array<QPointF, 3> tick{QPointF(4.5, 12.5), QPointF(9.5, 17.5),
                                          QPointF(19.5, 6.5)};
        p.drawPolyline(tick.data(), int(tick.size()));
        break;
    }
    case Glyph::circleFill:
        p.setPen(Qt::NoPen);
        p.setBrush(color);
        p.drawEllipse(QRectF(7, 7, 10, 10));
        break;
    case Glyph::appIcon: {
        QLinearGradient fill(0, 0, 0, kGrid);
        fill.setColorAt(0, color.lighter(125));
        fill.setColorAt(1, color.darker(120));
        p.setPen(Qt::NoPen);
        p.setBrush(fill);
        p.drawRoundedRect(QRectF(1, 1, 22, 22), 5, 5);
        waveformBars(p, white, 5.5, 2.6, {3, 8, 12, 6, 10, 5});
        break;
    }
    }
}

class GlyphIconEngine : public QIconEngine {
public:
    GlyphIconEngine(Glyph glyph, QColor color) : m_glyph(glyph), m_color(color) {}

    void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State) override {
        QColor color = m_color;
        if (mode == QIcon::Disabled)
            color.setAlphaF(0.35f);
        paintGlyph(*painter, rect, m_glyph, color);
    }
    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
        QPixmap pixmap(size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        paint(&painter, QRect(QPoint(0, 0), size), mode, state);
        return pixmap;
    }
    [[nodiscard]] QIconEngine* clone() const override {
        return new GlyphIconEngine(m_glyph, m_color);
    }

private:
    Glyph m_glyph;
    QColor m_color;
};

} // namespace

void paintGlyph(QPainter& painter, const QRectF& rect, Glyph glyph, const QColor& color) {
    const double side = std::min(rect.width(), rect.height());
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.translate(rect.center().x() - side / 2, rect.center().y() - side / 2);
    painter.scale(side / kGrid, side / kGrid);
    paintOnGrid(painter, glyph, color);
    painter.restore();
}

QIcon glyphIcon(Glyph glyph, const QColor& color) {
    return QIcon(new GlyphIconEngine(glyph, color));
}

QPixmap glyphPixmap(Glyph glyph, const QColor& color, int size, double devicePixelRatio) {
    const int device = int(std::ceil(size * devicePixelRatio));
    QPixmap pixmap(device, device);
    pixmap.fill(Qt::transparent);
    {
        QPainter painter(&pixmap);
        paintGlyph(painter, QRectF(0, 0, device, device), glyph, color);
    }
    pixmap.setDevicePixelRatio(devicePixelRatio);
    return pixmap;
}

} // namespace corvale
