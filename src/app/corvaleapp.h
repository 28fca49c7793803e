// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QObject>
#include <QPointer>

#include <memory>

class QSystemTrayIcon;
class QWidget;

namespace corvale {

class AppViewModel;
class DesktopSessionHost;
class MainWindow;
class MenuCommands;

// The application: the one session for the life of the process, its main window, the menus,
// the tray icon, and the way out. The process outlives its windows; it ends only on Quit (or
// when a run without a window to return to ends), and a run in progress is cancelled and
// cleaned up before it does.
class CorvaleApp : public QObject {
    Q_OBJECT
public:
    explicit CorvaleApp(QObject* parent = nullptr);
    ~CorvaleApp() override;

    [[nodiscard]] AppViewModel* session() const { return m_session.get(); }
    [[nodiscard]] MainWindow* mainWindow() const { return m_window.get(); }
    [[nodiscard]] MenuCommands* commands() const;
    [[nodiscard]] DesktopSessionHost* host() const { return m_host.get(); }

    void showMainWindow();
    void showPreferences();
    // Cancels a run, waits a bounded time for its cleanup and leaves the event loop.
    void quit();
    // The cleanup half of quit, for when the process is ending anyway (logout, aboutToQuit).
    void shutdown();

private:
    void createTrayIcon();

    std::unique_ptr<DesktopSessionHost> m_host;
    std::unique_ptr<AppViewModel> m_session;
    std::unique_ptr<MainWindow> m_window;
    QPointer<QWidget> m_preferences;
    QSystemTrayIcon* m_tray = nullptr;
    bool m_quitting = false;
};

} // namespace corvale
