// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "session/appviewmodel.h"

#include <QHash>
#include <QObject>
#include <QPointer>

class QAction;
class QMenu;
class QMenuBar;

namespace corvale {

class AppViewModel;

// The menu bar's File, Sync, Window and Help commands. Session-bound commands act on the
// session of the open main window and are disabled while none is open.
class MenuCommands : public QObject {
    Q_OBJECT
public:
    enum class Command {
        openReference,
        openFiles,
        openOutputFolder,
        clearFiles,
        preferences,
        quit,
        syncFiles,
        cancel,
        reset,
        mainWindow,
        about,
    };

    MenuCommands(QMenuBar* bar, QObject* parent = nullptr);

    // The session of the open main window, or null when none is open.
    void setSession(AppViewModel* session);
    [[nodiscard]] AppViewModel* session() const { return m_session; }
    [[nodiscard]] QAction* action(Command command) const { return m_actions.value(command); }
    [[nodiscard]] QMenu* fileMenu() const { return m_file; }
    [[nodiscard]] QMenu* syncMenu() const { return m_sync; }
    [[nodiscard]] QMenu* windowMenu() const { return m_window; }
    // The Help menu holds "About Corvale". Further entries (the update check, the file-manager
    // extension) go in through addHelpAction, above "About Corvale", in the order added.
    [[nodiscard]] QMenu* helpMenu() const { return m_help; }
    void addHelpAction(QAction* action);
    void updateEnabled();

signals:
    void mainWindowRequested();
    void preferencesRequested();
    void aboutRequested();
    void quitRequested();
    // A command could not be carried out; text says why.
    void notice(const QString& text);

private:
    QAction* add(QMenu* menu, Command command, const QString& title, const QKeySequence& keys);
    void openOutputFolder();

    QPointer<AppViewModel> m_session;
    QHash<Command, QAction*> m_actions;
    QMenu* m_file;
    QMenu* m_sync;
    QMenu* m_window;
    QMenu* m_help;
    QAction* m_helpSeparator;
};

} // namespace corvale
