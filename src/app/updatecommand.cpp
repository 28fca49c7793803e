// SPDX-License-Identifier: GPL-3.0-or-later
#include "updatecommand.h"

#include "launch/updater.h"

#include <QAction>
#include <QDesktopServices>
#include <QMessageBox>
#include <QPushButton>

namespace corvale {

UpdateCommand::UpdateCommand(Updater& updater, QWidget* dialogParent, QObject* parent)
    : QObject(parent), m_updater(updater), m_dialogParent(dialogParent),
      m_action(new QAction(QStringLiteral("Check for Updates…"), this)) {
    m_action->setEnabled(updater.canCheckForUpdates());
    // A build without an update feed has nothing to check against.
    m_action->setVisible(!updater.feedUrl().isEmpty());
    connect(&updater, &Updater::canCheckForUpdatesChanged, m_action,
            [this] { m_action->setEnabled(m_updater.canCheckForUpdates()); });
    connect(m_action, &QAction::triggered, &updater, &Updater::checkForUpdates);
    connect(&updater, &Updater::checkFinished, this, &UpdateCommand::report);
}

void UpdateCommand::report(const UpdateCheckResult& result) {
    QWidget* parent = m_dialogParent && m_dialogParent->isVisible() ? m_dialogParent : nullptr;
    const bool available = result.outcome == UpdateCheckResult::Outcome::updateAvailable;
    QMessageBox box(result.outcome == UpdateCheckResult::Outcome::failed ? QMessageBox::Warning
                                                                         : QMessageBox::Information,
                    QStringLiteral("Software Update"), result.title(), QMessageBox::NoButton,
                    parent);
    box.setInformativeText(result.text(m_updater.currentVersion()));
    QPushButton* download = nullptr;
    if (available) {
        download = box.addButton(QStringLiteral("Download…"), QMessageBox::AcceptRole);
        box.addButton(QStringLiteral("Later"), QMessageBox::RejectRole);
        box.setDefaultButton(download);
    } else {
        box.addButton(QMessageBox::Ok);
    }
    box.exec();
    if (download && box.clickedButton() == download)
        QDesktopServices::openUrl(result.downloadUrl);
}

} // namespace corvale
