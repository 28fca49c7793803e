// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "session/syncresult.h"

#include <QFrame>
#include <QStringList>

namespace corvale {

// The review notes of one finished file, opened from its row's warning button. Read-only; a
// click outside closes it. When drift was measured the chart of it comes last before the
// footnote, to show where to listen.
class WarningsPopover : public QFrame {
    Q_OBJECT
public:
    explicit WarningsPopover(const SyncResult& result, QWidget* parent = nullptr);

    [[nodiscard]] QStringList shownMessages() const { return m_messages; }
    [[nodiscard]] bool showsDriftPlot() const { return m_hasPlot; }
    // Opens below anchor (or above it when the screen ends), aligned to its left edge.
    void popUp(const QWidget* anchor);

signals:
    void closed();

protected:
    void hideEvent(QHideEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    QStringList m_messages;
    bool m_hasPlot = false;
};

} // namespace corvale
