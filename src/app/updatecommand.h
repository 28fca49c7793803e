// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QObject>

class QAction;
class QWidget;

namespace corvale {

class Updater;
struct UpdateCheckResult;

// "Check for Updates…": enabled exactly while the updater can start a check, and the dialog
// that reports what the check found.
class UpdateCommand : public QObject {
    Q_OBJECT
public:
    // updater must outlive the command; dialogParent may be null.
    UpdateCommand(Updater& updater, QWidget* dialogParent, QObject* parent = nullptr);

    [[nodiscard]] QAction* action() const { return m_action; }

private:
    void report(const UpdateCheckResult& result);

    Updater& m_updater;
    QWidget* m_dialogParent;
    QAction* m_action;
};

} // namespace corvale
