// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QObject>
#include <QPointer>

#include <memory>

#include <QSystemTrayIcon>

class QWidget;

namespace corvale {

class AppViewModel;
class DesktopSessionHost;
class MainWindow;
class MenuCommands;
class ProgressFloaterPanel;
class TerminationSignals;

// The application: the one session for the life of the process, its main window, the menus,
// the tray icon, and the way out. With a tray the process outlives its windows and ends only on
// Quit (or when a run without a window to return to ends). Without one nothing would lead back
// to a hidden process, so closing the window while idle quits, and closing it during a run
// leaves the progress floater on screen and quits when the run ends, unless a file failed or
// needs review: then the window comes back. A run in progress is cancelled and cleaned up
// before the process ends, also when the process is told to end (SIGTERM, SIGINT, SIGHUP).
class CorvaleApp : public QObject {
    Q_OBJECT
public:
    explicit CorvaleApp(bool trayAvailable = QSystemTrayIcon::isSystemTrayAvailable(),
                        QObject* parent = nullptr);
    ~CorvaleApp() override;

    [[nodiscard]] AppViewModel* session() const { return m_session.get(); }
    [[nodiscard]] MainWindow* mainWindow() const { return m_window.get(); }
    [[nodiscard]] MenuCommands* commands() const;
    [[nodiscard]] DesktopSessionHost* host() const { return m_host.get(); }

    void showMainWindow();
    void showPreferences();
    // Cancels a run, waits a bounded time for its cleanup and leaves the event loop.
    void quit();
    [[nodiscard]] bool isQuitting() const { return m_quitting; }
    [[nodiscard]] bool hasTrayIcon() const { return m_tray != nullptr; }
    // The floater that stands in for the window closed during a run on a desktop without a tray.
    [[nodiscard]] ProgressFloaterPanel* closedWindowFloater() const { return m_floater.get(); }
    // The cleanup half of quit, for when the process is ending anyway (logout, aboutToQuit).
    void shutdown();
    // The signal that made it quit; 0 when none did.
    [[nodiscard]] int quitSignal() const;

private:
    void createTrayIcon();
    void windowClosed();
    void runEndedWithWindowClosed();

    std::unique_ptr<DesktopSessionHost> m_host;
    std::unique_ptr<AppViewModel> m_session;
    std::unique_ptr<MainWindow> m_window;
    QPointer<QWidget> m_preferences;
    QSystemTrayIcon* m_tray = nullptr;
    std::unique_ptr<ProgressFloaterPanel> m_floater;
    TerminationSignals* m_termination;
    bool m_quitting = false;
};

} // namespace corvale
