// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QPoint>
#include <QWidget>

#include <optional>

namespace corvale {

class AppViewModel;
class ProgressFloaterView;

// The small always-on-top panel that shows a run started from outside the main window. It
// never takes the focus, has no window buttons and moves when dragged by its background.
class ProgressFloaterPanel : public QWidget {
    Q_OBJECT
public:
    static constexpr int kWidth = 380;
    static constexpr int kHeight = 76;

    explicit ProgressFloaterPanel(AppViewModel* session);

    [[nodiscard]] ProgressFloaterView* view() const { return m_view; }
    void centerOnScreen();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    ProgressFloaterView* m_view;
    std::optional<QPoint> m_dragOffset;
};

} // namespace corvale
