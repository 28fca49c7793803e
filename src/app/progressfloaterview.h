// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QPointer>
#include <QWidget>

class QLabel;
class QProgressBar;
class QPushButton;

namespace corvale {

class AppViewModel;

// The progress panel's content for a run without the main window: progress, status, elapsed
// time and "Cancel" while the run lasts.
class ProgressFloaterView : public QWidget {
    Q_OBJECT
public:
    explicit ProgressFloaterView(AppViewModel* session, QWidget* parent = nullptr);

    [[nodiscard]] QProgressBar* progressBar() const { return m_progress; }
    [[nodiscard]] QLabel* statusLabel() const { return m_status; }
    [[nodiscard]] QPushButton* cancelButton() const { return m_cancel; }

private:
    void refresh();

    QPointer<AppViewModel> m_session;
    QProgressBar* m_progress;
    QLabel* m_status;
    QPushButton* m_cancel;
};

} // namespace corvale
