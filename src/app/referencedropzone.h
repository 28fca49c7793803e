// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "droptargetframe.h"

class QLabel;
class QPushButton;
class QStackedLayout;
class QToolButton;

namespace corvale {

class ElidedLabel;

// Takes the one reference file, dropped or chosen, and shows it.
class ReferenceDropZone : public DropTargetFrame {
    Q_OBJECT
public:
    explicit ReferenceDropZone(QWidget* parent = nullptr);

    void setReferenceFile(const QUrl& url);
    // Why the last run could not use the reference, shown in red in place of its folder;
    // empty to show the folder again.
    void setProblem(const QString& problem);
    [[nodiscard]] QString shownProblem() const { return m_problem; }
    [[nodiscard]] QUrl referenceFile() const { return m_reference; }
    // Only the first item counts, and only when it is a local file.
    void handleDrop(const QMimeData* mime) override;

    [[nodiscard]] QPushButton* chooseButton() const { return m_choose; }
    [[nodiscard]] QToolButton* replaceButton() const { return m_replace; }
    [[nodiscard]] QString shownName() const;
    [[nodiscard]] QString shownFolder() const;

signals:
    void fileSelected(const QUrl& url);
    void browseRequested();

protected:
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    QUrl m_reference;
    QStackedLayout* m_pages;
    QPushButton* m_choose;
    QToolButton* m_replace;
    QLabel* m_name;
    ElidedLabel* m_folder;
    QString m_problem;
};

} // namespace corvale
