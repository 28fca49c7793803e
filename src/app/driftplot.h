// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "session/syncresult.h"

#include <QImage>
#include <QWidget>

#include <vector>

class QPainter;

namespace corvale {

// A small chart of the clock a track was written with: the drift followed along it (a line),
// the windows where it was measured (dots) and any break (a dashed mark).
class DriftPlot : public QWidget {
    Q_OBJECT
public:
    explicit DriftPlot(AppliedClock clock, QWidget* parent = nullptr);

    [[nodiscard]] QSize sizeHint() const override;
    [[nodiscard]] const AppliedClock& clock() const { return m_clock; }

    // The same chart as a picture (for tooltips), at size in device-independent pixels.
    [[nodiscard]] static QImage render(const AppliedClock& clock, QSize size,
                                       double devicePixelRatio = 1.0);
    static void paint(QPainter& painter, const QRectF& rect, const AppliedClock& clock);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    AppliedClock m_clock;
};

} // namespace corvale
