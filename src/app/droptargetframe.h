// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QList>
#include <QUrl>
#include <QWidget>

class QMimeData;

namespace corvale {

// A rounded, dashed frame that accepts drags carrying local file URLs and turns solid and
// accent-coloured while one is over it. Subclasses decide what a drop means.
class DropTargetFrame : public QWidget {
    Q_OBJECT
public:
    // Fill and border opacities, untargeted and targeted.
    struct Strength {
        double fill;
        double targetedFill;
        double border;
    };

    explicit DropTargetFrame(Strength strength, QWidget* parent = nullptr);

    [[nodiscard]] bool isTargeted() const { return m_targeted; }
    // The local file URLs a drag carries, in the order it carries them.
    [[nodiscard]] static QList<QUrl> fileUrls(const QMimeData* mime);
    // What a drop of mime does (also reachable without a drag, for the tests).
    virtual void handleDrop(const QMimeData* mime) = 0;

signals:
    void targetedChanged(bool targeted);

protected:
    void paintEvent(QPaintEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragLeaveEvent(QDragLeaveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void setTargeted(bool on);

    Strength m_strength;
    bool m_targeted = false;
};

} // namespace corvale
