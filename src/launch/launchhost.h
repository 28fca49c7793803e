// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QList>
#include <QString>
#include <QUrl>

namespace corvale {

class AppViewModel;

// What outside requests need from the window side: the desktop application implements it with
// widgets; tests use a fake. "Windows" are the application's ordinary windows; panels (the
// progress floater, the open panel, alerts) are not among them.
class LaunchHost {
public:
    struct WindowSnapshot {
        // Some window is visible and not minimised.
        bool anyVisible = false;
        // There is a window that is not minimised (visible or not) to come back to.
        bool hasMainWindow = false;
    };

    virtual ~LaunchHost() = default;

    [[nodiscard]] virtual WindowSnapshot windowSnapshot() = 0;
    // Hides every window, panels included.
    virtual void hideAllWindows() = 0;
    // Modal open panel for audio and video files (several, no folders) starting in folder, with
    // message and the confirm button "Sync". Empty when cancelled.
    [[nodiscard]] virtual QList<QUrl> chooseFilesToSync(const QString& message,
                                                        const QString& folder) = 0;
    // During a headless run the windows are kept but hidden from view and input.
    virtual void setWindowsHiddenForHeadless(bool hidden) = 0;
    // The progress floater for session, shown in front; a new one replaces any earlier one.
    virtual void showProgressFloater(AppViewModel& session) = 0;
    virtual void closeProgressFloater() = 0;
    virtual void raiseProgressFloater() = 0;
    // Shows the main window (creating it when needed), in front and focused.
    virtual void showMainWindow() = 0;
    // A short word about a request that was refused or only partly carried out, where the user
    // will see it: the window's status line, else a desktop notification.
    virtual void showNotice(const QString& text) = 0;
    // A modal alert with one "OK" button.
    virtual void showMessage(const QString& text, const QString& informativeText) = 0;
    [[nodiscard]] virtual bool hasModalWindow() = 0;
    // A modal alert with two buttons; true when the first (default) one was chosen.
    [[nodiscard]] virtual bool askQuestion(const QString& text, const QString& informativeText,
                                           const QString& firstButton,
                                           const QString& secondButton) = 0;
    // Corvale's dialog that installs and removes the file-manager integrations.
    virtual void showExtensionManagement() = 0;
    virtual void quitApplication() = 0;
};

} // namespace corvale
