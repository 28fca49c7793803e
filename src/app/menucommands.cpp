// SPDX-License-Identifier: GPL-3.0-or-later
#include "menucommands.h"

#include "filemanagerreveal.h"

#include "session/appviewmodel.h"

#include <QAction>
#include <QMenu>
#include <QMenuBar>

namespace corvale {

using C = MenuCommands::Command;

MenuCommands::MenuCommands(QMenuBar* bar, QObject* parent)
    : QObject(parent), m_file(bar->addMenu(QStringLiteral("&File"))),
      m_sync(bar->addMenu(QStringLiteral("&Sync"))),
      m_window(bar->addMenu(QStringLiteral("&Window"))),
      m_help(bar->addMenu(QStringLiteral("&Help"))) {
    add(m_file, C::openReference, QStringLiteral("Open Reference File…"),
        QKeySequence(Qt::CTRL | Qt::Key_O));
    add(m_file, C::openFiles, QStringLiteral("Open Files to Sync…"),
        QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_O));
    m_file->addSeparator();
    add(m_file, C::openOutputFolder, QStringLiteral("Open Output Folder"),
        QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_R));
    m_file->addSeparator();
    add(m_file, C::clearFiles, QStringLiteral("Clear Files to Sync"),
        QKeySequence(Qt::CTRL | Qt::Key_Backspace));
    m_file->addSeparator();
    add(m_file, C::preferences, QStringLiteral("Preferences…"),
        QKeySequence(Qt::CTRL | Qt::Key_Comma));
    m_file->addSeparator();
    add(m_file, C::quit, QStringLiteral("Quit"), QKeySequence(Qt::CTRL | Qt::Key_Q));

    add(m_sync, C::syncFiles, QStringLiteral("Sync Files"), QKeySequence(Qt::CTRL | Qt::Key_S));
    add(m_sync, C::cancel, QStringLiteral("Cancel"), QKeySequence(Qt::CTRL | Qt::Key_Period));
    m_sync->addSeparator();
    add(m_sync, C::reset, QStringLiteral("Reset"), QKeySequence(Qt::CTRL | Qt::Key_R));

    add(m_window, C::mainWindow, QStringLiteral("Corvale Window"),
        QKeySequence(Qt::CTRL | Qt::Key_0));

    m_helpSeparator = m_help->addSeparator();
    add(m_help, C::about, QStringLiteral("About Corvale"), {});
    m_helpSeparator->setVisible(false);

    const auto onSession = [this](void (AppViewModel::*operation)()) {
        return [this, operation] {
            if (m_session)
                (m_session.data()->*operation)();
        };
    };
    connect(action(C::openReference), &QAction::triggered, this,
            onSession(&AppViewModel::chooseReferenceFile));
    connect(action(C::openFiles), &QAction::triggered, this,
            onSession(&AppViewModel::chooseIndividualFiles));
    connect(action(C::openOutputFolder), &QAction::triggered, this,
            &MenuCommands::openOutputFolder);
    connect(action(C::clearFiles), &QAction::triggered, this,
            onSession(&AppViewModel::clearIndividualFiles));
    connect(action(C::syncFiles), &QAction::triggered, this,
            onSession(&AppViewModel::startProcessing));
    connect(action(C::cancel), &QAction::triggered, this,
            onSession(&AppViewModel::cancelProcessing));
    connect(action(C::reset), &QAction::triggered, this, onSession(&AppViewModel::resetSession));
    connect(action(C::preferences), &QAction::triggered, this, &MenuCommands::preferencesRequested);
    connect(action(C::quit), &QAction::triggered, this, &MenuCommands::quitRequested);
    connect(action(C::mainWindow), &QAction::triggered, this, &MenuCommands::mainWindowRequested);
    connect(action(C::about), &QAction::triggered, this, &MenuCommands::aboutRequested);
    updateEnabled();
}

QAction* MenuCommands::add(QMenu* menu, Command command, const QString& title,
                           const QKeySequence& keys) {
    auto* action = menu->addAction(title);
    action->setShortcut(keys);
    // The window's menu bar may be hidden in a headless run; the shortcuts still belong to it.
    action->setShortcutContext(Qt::WindowShortcut);
    m_actions.insert(command, action);
    return action;
}

void MenuCommands::addHelpAction(QAction* action) {
    m_help->insertAction(m_helpSeparator, action);
    m_helpSeparator->setVisible(true);
}

void MenuCommands::setSession(AppViewModel* session) {
    if (m_session == session)
        return;
    if (m_session)
        disconnect(m_session, nullptr, this, nullptr);
    m_session = session;
    if (session) {
        const auto update = [this] { updateEnabled(); };
        connect(session, &AppViewModel::referenceFileChanged, this, update);
        connect(session, &AppViewModel::individualFilesChanged, this, update);
        connect(session, &AppViewModel::outputFolderChanged, this, update);
        connect(session, &AppViewModel::isProcessingChanged, this, update);
        connect(session, &AppViewModel::canSyncChanged, this, update);
        connect(session, &AppViewModel::runEnded, this, update);
    }
    updateEnabled();
}

void MenuCommands::updateEnabled() {
    const AppViewModel* vm = m_session;
    const bool focused = vm != nullptr;
    // A run that was cancelled is still winding down until runEnded; the session refuses
    // changes until then, so the commands that would change it say so.
    const bool busy = focused && (vm->isProcessing() || vm->runUnderWay());
    const bool empty = focused && vm->referenceFile().isEmpty() &&
                       vm->individualFiles().isEmpty() && vm->outputFolder().isEmpty();
    action(C::openReference)->setEnabled(focused && !busy);
    action(C::openFiles)->setEnabled(focused && !busy);
    action(C::openOutputFolder)->setEnabled(focused && !vm->effectiveOutputFolder().isEmpty());
    action(C::clearFiles)->setEnabled(focused && !vm->individualFiles().isEmpty() && !busy);
    action(C::syncFiles)->setEnabled(focused && vm->canSync());
    action(C::cancel)->setEnabled(focused && vm->isProcessing());
    action(C::reset)->setEnabled(!empty && !busy);
}

void MenuCommands::openOutputFolder() {
    if (!m_session)
        return;
    const QUrl folder = m_session->effectiveOutputFolder();
    if (folder.isEmpty())
        return;
    if (const QString problem = FileManagerReveal::openFolder(folder); !problem.isEmpty())
        emit notice(problem);
}

} // namespace corvale
