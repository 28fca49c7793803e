// SPDX-License-Identifier: GPL-3.0-or-later
#include "corvaleapp.h"

#include "aboutdialog.h"
#include "desktopsessionhost.h"
#include "glyphs.h"
#include "mainwindow.h"
#include "menucommands.h"
#include "preferencesview.h"
#include "progressfloaterpanel.h"
#include "terminationsignals.h"
#include "theme.h"

#include "audio/ffmpeglocator.h"
#include "session/appviewmodel.h"

#include <QApplication>
#include <QMenu>
#include <QSessionManager>
#include <QVBoxLayout>

namespace corvale {
CorvaleApp::CorvaleApp(bool trayAvailable, QObject* parent)
    : QObject(parent), m_host(std::make_unique<DesktopSessionHost>()),
      m_session(std::make_unique<AppViewModel>(findFFmpeg(), m_host.get())),
      m_termination(new TerminationSignals(this)) {
    m_window = std::make_unique<MainWindow>(m_session.get());
    m_host->setDialogParent(m_window.get());
    m_host->setQuitHandler([this] { quit(); });
    m_host->setReferenceSource([this] { return m_session->referenceFile(); });

    MenuCommands* menus = m_window->commands();
    connect(menus, &MenuCommands::mainWindowRequested, this, &CorvaleApp::showMainWindow);
    connect(menus, &MenuCommands::preferencesRequested, this, &CorvaleApp::showPreferences);
    connect(menus, &MenuCommands::aboutRequested, this, [] { showAboutPanel(); });
    connect(menus, &MenuCommands::quitRequested, this, &CorvaleApp::quit);

    QGuiApplication::setQuitOnLastWindowClosed(false);
    // Logging out or the process being told to end: the run must not leave children,
    // temporary folders or half-written outputs behind.
    connect(qApp, &QGuiApplication::commitDataRequest, this,
            [this](QSessionManager&) { shutdown(); });
    connect(qApp, &QCoreApplication::aboutToQuit, this, &CorvaleApp::shutdown);
    // Killed where it stands, a run would leave its temporary folder behind.
    connect(m_termination, &TerminationSignals::received, this, &CorvaleApp::quit);
    if (trayAvailable)
        createTrayIcon();
    connect(m_window.get(), &MainWindow::closedByUser, this, &CorvaleApp::windowClosed);
    connect(m_window.get(), &MainWindow::openChanged, this, [this](bool open) {
        if (open)
            m_floater.reset();
    });
    connect(m_session.get(), &AppViewModel::runEnded, this, [this] {
        if (m_floater)
            runEndedWithWindowClosed();
    });
}

CorvaleApp::~CorvaleApp() {
    shutdown();
    delete m_preferences;
    m_window.reset();
    m_session.reset();
}

MenuCommands* CorvaleApp::commands() const {
    return m_window->commands();
}

void CorvaleApp::createTrayIcon() {
    m_tray = new QSystemTrayIcon(glyphIcon(Glyph::appIcon, theme::accent()), this);
    m_tray->setToolTip(QStringLiteral("Corvale"));
    auto* menu = new QMenu(m_window.get());
    connect(menu->addAction(QStringLiteral("Corvale Window")), &QAction::triggered, this,
            &CorvaleApp::showMainWindow);
    connect(menu->addAction(QStringLiteral("Quit")), &QAction::triggered, this, &CorvaleApp::quit);
    m_tray->setContextMenu(menu);
    connect(m_tray, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason why) {
                if (why == QSystemTrayIcon::Trigger)
                    showMainWindow();
            });
    m_tray->show();
}

void CorvaleApp::windowClosed() {
    // A headless run belongs to the request that started it, which decides what comes after.
    if (m_tray || m_session->headlessMode())
        return;
    if (!m_session->runUnderWay()) {
        quit();
        return;
    }
    m_floater = std::make_unique<ProgressFloaterPanel>(m_session.get());
    m_floater->centerOnScreen();
    m_floater->show();
}

void CorvaleApp::runEndedWithWindowClosed() {
    // Deleted from the event loop: the panel's own button may have ended the run.
    m_floater.release()->deleteLater();
    const auto& report = m_session->lastReport();
    if (report && (report->isClean() || report->outcome == RunOutcome::cancelled))
        quit();
    else
        showMainWindow();
}

void CorvaleApp::showMainWindow() {
    m_window->reopen();
}

void CorvaleApp::showPreferences() {
    if (!m_preferences) {
        auto* window = new QWidget(nullptr, Qt::Window);
        window->setWindowTitle(QStringLiteral("Corvale Preferences"));
        window->setAttribute(Qt::WA_DeleteOnClose);
        auto* layout = new QVBoxLayout(window);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->setSizeConstraint(QLayout::SetFixedSize);
        layout->addWidget(new PreferencesView(m_host.get()));
        m_preferences = window;
    }
    m_preferences->show();
    m_preferences->raise();
    m_preferences->activateWindow();
}

void CorvaleApp::shutdown() {
    if (m_session)
        m_session->shutdown(); // the session's own limit: the window is never held longer
}

int CorvaleApp::quitSignal() const {
    return m_termination->firstSignal();
}

void CorvaleApp::quit() {
    if (m_quitting)
        return;
    m_quitting = true;
    shutdown();
    QCoreApplication::quit();
}

} // namespace corvale
