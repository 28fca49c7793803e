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

// One file of the list: status icon, name, status text, the file(s) written, the review-warning
// button, "Show in File Manager" and the remove button. Each text is one line, shortened with
// "…" and whole in the tooltip; the row is as tall as its lines. Follows its item's status as it
// changes.
class FileRowView : public QWidget {
    Q_OBJECT
public:
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
    // "→ Alice-2-synced.wav", shown once the item was written.
    [[nodiscard]] ElidedLabel* outputLabel() const { return m_output; }
    [[nodiscard]] QToolButton* revealButton() const { return m_reveal; }
    // The files the item's run wrote, left channel first.
    [[nodiscard]] QList<QUrl> writtenFiles() const;
    [[nodiscard]] WarningsPopover* popover() const;
    [[nodiscard]] ProcessingStatus::Kind shownKind() const { return m_kind; }
    // The rich tooltip: how a waveform search placed the file, and the drift chart; empty when
    // it has neither.
    [[nodiscard]] QString richToolTip() const;

signals:
    void removeRequested(AudioFileItem* item);
    // files could not be shown; problem says why.
    void revealFailed(const QString& problem);

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
    ElidedLabel* m_output;
    QToolButton* m_reveal;
    QToolButton* m_warning;
    QToolButton* m_remove;
    QPointer<WarningsPopover> m_popover;
    ProcessingStatus::Kind m_kind = ProcessingStatus::Kind::waiting;
    bool m_divider = false;
    bool m_runUnderWay = false;
};

} // namespace corvale
