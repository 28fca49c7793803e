// SPDX-License-Identifier: GPL-3.0-or-later
#include "driftplot.h"

#include "session/processingstatus.h"
#include "theme.h"

#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>

namespace corvale {
namespace {

QString clockText(double seconds) {
    const long long s = std::max(0LL, roundHalfAway(seconds));
    return QStringLiteral("%1:%2").arg(s / 60).arg(s % 60, 2, 10, QLatin1Char('0'));
}

QString msText(double ms) {
    return QStringLiteral("%1%2 ms")
        .arg(ms > 0 ? QStringLiteral("+") : QString())
        .arg(ms, 0, 'f', 1);
}

} // namespace

DriftPlot::DriftPlot(AppliedClock clock, QWidget* parent)
    : QWidget(parent), m_clock(std::move(clock)) {
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setToolTip(QStringLiteral("Clock drift followed along the track"));
}

QSize DriftPlot::sizeHint() const {
    return {288, 92};
}

void DriftPlot::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    paint(painter, rect(), m_clock);
}

QImage DriftPlot::render(const AppliedClock& clock, QSize size, double devicePixelRatio) {
    QImage image(size * devicePixelRatio, QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(devicePixelRatio);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    paint(painter, QRectF(QPointF(0, 0), QSizeF(size)), clock);
    return image;
}

void DriftPlot::paint(QPainter& painter, const QRectF& rect, const AppliedClock& clock) {
    const std::vector<DriftPoint>& points = clock.line;
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    QFont font = theme::caption();
    font.setPointSizeF(std::max(6.0, font.pointSizeF() - 0.5));
    painter.setFont(font);
    const QFontMetricsF metrics(font);
    const QColor secondary = theme::secondary();

    painter.setPen(Qt::NoPen);
    painter.setBrush(theme::tinted(secondary, 0.08));
    painter.drawRoundedRect(rect, 6, 6);

    double tMax = 1.0, dMin = 0.0, dMax = 0.0;
    for (const std::vector<DriftPoint>* list : {&clock.line, &clock.windows}) {
        for (const DriftPoint& p : *list) {
            tMax = std::max(tMax, p.timeSeconds);
            dMin = std::min(dMin, p.driftSeconds * 1000.0);
            dMax = std::max(dMax, p.driftSeconds * 1000.0);
        }
    }
    for (const DriftPoint& p : points) {
        dMin = std::min(dMin, p.driftSeconds * 1000.0);
        dMax = std::max(dMax, p.driftSeconds * 1000.0);
    }
    if (dMax - dMin < 1.0) { // keep a flat line from filling the chart with noise
        const double mid = (dMax + dMin) / 2;
        dMin = mid - 0.5;
        dMax = mid + 0.5;
    }
    const double labelWidth = metrics.horizontalAdvance(QStringLiteral("+000.0 ms")) + 6;
    const QRectF plot = rect.adjusted(labelWidth + 4, 8, -10, -metrics.height() - 6);
    auto at = [&](const DriftPoint& p) {
        const double x = plot.left() + plot.width() * p.timeSeconds / tMax;
        const double y =
            plot.bottom() - plot.height() * (p.driftSeconds * 1000.0 - dMin) / (dMax - dMin);
        return QPointF(x, y);
    };

    painter.setPen(secondary);
    painter.drawText(QRectF(rect.left() + 4, plot.top() - 6, labelWidth, metrics.height()),
                     Qt::AlignRight | Qt::AlignTop, msText(dMax));
    painter.drawText(
        QRectF(rect.left() + 4, plot.bottom() - metrics.height() + 6, labelWidth, metrics.height()),
        Qt::AlignRight | Qt::AlignBottom, msText(dMin));
    painter.drawText(QRectF(plot.left(), plot.bottom() + 3, plot.width(), metrics.height()),
                     Qt::AlignLeft | Qt::AlignTop, QStringLiteral("0:00"));
    painter.drawText(QRectF(plot.left(), plot.bottom() + 3, plot.width(), metrics.height()),
                     Qt::AlignRight | Qt::AlignTop, clockText(tMax));

    if (dMin < 0 && dMax > 0) {
        QPen zero(theme::tinted(secondary, 0.6), 1, Qt::DashLine);
        painter.setPen(zero);
        const double y = at({0.0, 0.0}).y();
        painter.drawLine(QPointF(plot.left(), y), QPointF(plot.right(), y));
    }
    painter.setPen(QPen(theme::tinted(secondary, 0.35), 1));
    painter.drawLine(plot.bottomLeft(), plot.bottomRight());
    painter.drawLine(plot.bottomLeft(), plot.topLeft());

    const QColor accent = theme::accent();
    if (points.size() > 1) {
        QPainterPath line;
        line.moveTo(at(points.front()));
        for (std::size_t i = 1; i < points.size(); ++i)
            line.lineTo(at(points[i]));
        painter.setPen(QPen(accent, 1.6));
        painter.setBrush(Qt::NoBrush);
        painter.drawPath(line);
    }
    painter.setPen(QPen(theme::orange(), 1, Qt::DashLine));
    for (const double t : clock.breakSeconds) {
        const double x = at({t, 0.0}).x();
        painter.drawLine(QPointF(x, plot.top()), QPointF(x, plot.bottom()));
    }
    painter.setPen(Qt::NoPen);
    painter.setBrush(accent);
    for (const DriftPoint& p : clock.windows)
        painter.drawEllipse(at(p), 2.6, 2.6);
    painter.restore();
}

} // namespace corvale
