// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "launch/launchhost.h"

#include <QList>
#include <QPointer>
#include <QWidget>

#include <functional>
#include <memory>

namespace corvale {

class ProgressFloaterPanel;

// The window side of outside requests, with widgets: which windows are on screen, hiding them
// for a headless run and bringing them back as they were, the open panel, the progress floater
// and the alerts.
class DesktopLaunchHost : public LaunchHost {
public:
    // mainWindow: the window to come back to; quit: the application's way out.
    DesktopLaunchHost(QWidget* mainWindow, std::function<void()> quit,
                      std::function<void()> showExtensions);
    ~DesktopLaunchHost() override;

    WindowSnapshot windowSnapshot() override;
    void hideAllWindows() override;
    QList<QUrl> chooseFilesToSync(const QString& message, const QString& folder) override;
    void setWindowsHiddenForHeadless(bool hidden) override;
    void showProgressFloater(AppViewModel& session) override;
    void closeProgressFloater() override;
    void raiseProgressFloater() override;
    void showMainWindow() override;
    void showMessage(const QString& text, const QString& informativeText) override;
    void showNotice(const QString& text) override;
    [[nodiscard]] QString lastNotice() const { return m_lastNotice; }
    bool hasModalWindow() override;
    bool askQuestion(const QString& text, const QString& informativeText,
                     const QString& firstButton, const QString& secondButton) override;
    void showExtensionManagement() override;
    void quitApplication() override;

    [[nodiscard]] ProgressFloaterPanel* progressFloater() const { return m_floater.get(); }
    // Replaces the open panel (message, folder → chosen files); tests answer it themselves.
    using FileChooser = std::function<QList<QUrl>(const QString&, const QString&)>;
    void setFileChooser(FileChooser chooser) { m_chooser = std::move(chooser); }

private:
    QString m_lastNotice;
    // The application's ordinary windows; panels, dialogs and menus are not among them.
    [[nodiscard]] static QList<QWidget*> windows();

    QPointer<QWidget> m_mainWindow;
    std::function<void()> m_quit;
    std::function<void()> m_showExtensions;
    FileChooser m_chooser;
    std::unique_ptr<ProgressFloaterPanel> m_floater;
    // Windows that were on screen when a request hid them; they come back together.
    QList<QPointer<QWidget>> m_hidden;
};

} // namespace corvale
