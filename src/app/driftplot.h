// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "sync/synctypes.h"

#include <QImage>
#include <QWidget>

#include <vector>

class QPainter;

namespace corvale {

// A small chart of the drift measured along a track: where the file was anchored against the
// reference, and by how much its clock had drifted there.
class DriftPlot : public QWidget {
    Q_OBJECT
public:
    explicit DriftPlot(std::vector<DriftPoint> points, QWidget* parent = nullptr);

    [[nodiscard]] QSize sizeHint() const override;
    [[nodiscard]] const std::vector<DriftPoint>& points() const { return m_points; }

    // The same chart as a picture (for tooltips), at size in device-independent pixels.
    [[nodiscard]] static QImage render(const std::vector<DriftPoint>& points, QSize size,
                                       double devicePixelRatio = 1.0);
    static void paint(QPainter& painter, const QRectF& rect, const std::vector<DriftPoint>& points);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    std::vector<DriftPoint> m_points;
};

} // namespace corvale
