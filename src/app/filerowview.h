// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "glyphs.h"
#include "session/audiofileitem.h"

#include <QPointer>
#include <QWidget>

class QLabel;
class QToolButton;

namespace corvale {

class ElidedLabel;
class WarningsPopover;

// One file of the list: status icon, name, status text, the review-warning button and the
// remove button. Follows its item's status as it changes.
class FileRowView : public QWidget {
    Q_OBJECT
public:
    static constexpr int kHeight = 46;

    explicit FileRowView(AudioFileItem* item, QWidget* parent = nullptr);

    [[nodiscard]] AudioFileItem* item() const { return m_item; }
    // A run is under way: the session refuses removals, so the button says so.
    void setRunUnderWay(bool on);
    void setShowsDivider(bool on);
    [[nodiscard]] bool showsDivider() const { return m_divider; }
    [[nodiscard]] bool showingWarnings() const;

    // A file not found in the reference was written, but never shows the green tick.
    [[nodiscard]] static Glyph glyphFor(const ProcessingStatus& status);
    [[nodiscard]] static QColor colorFor(const ProcessingStatus& status);

    [[nodiscard]] ElidedLabel* nameLabel() const { return m_name; }
    [[nodiscard]] ElidedLabel* statusLabel() const { return m_status; }
    [[nodiscard]] QLabel* iconLabel() const { return m_icon; }
    [[nodiscard]] QToolButton* warningButton() const { return m_warning; }
    [[nodiscard]] QToolButton* removeButton() const { return m_remove; }
    [[nodiscard]] WarningsPopover* popover() const;
    [[nodiscard]] ProcessingStatus::Kind shownKind() const { return m_kind; }
    // The rich tooltip: how a waveform search placed the file, and the drift chart; empty when
    // it has neither.
    [[nodiscard]] QString richToolTip() const;

signals:
    void removeRequested(AudioFileItem* item);

protected:
    bool event(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void refresh();
    void toggleWarnings();

    QPointer<AudioFileItem> m_item;
    QLabel* m_icon;
    ElidedLabel* m_name;
    ElidedLabel* m_status;
    QToolButton* m_warning;
    QToolButton* m_remove;
    QPointer<WarningsPopover> m_popover;
    ProcessingStatus::Kind m_kind = ProcessingStatus::Kind::waiting;
    bool m_divider = false;
    bool m_runUnderWay = false;
};

} // namespace corvale
