// SPDX-License-Identifier: GPL-3.0-or-later
#include "desktoplaunchhost.h"

#include "contentview.h"
#include "desktopnotification.h"
#include "desktopsessionhost.h"
#include "mainwindow.h"
#include "progressfloaterpanel.h"

#include <QApplication>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>

namespace corvale {

DesktopLaunchHost::DesktopLaunchHost(QWidget* mainWindow, std::function<void()> quit,
                                     std::function<void()> showExtensions)
    : m_mainWindow(mainWindow), m_quit(std::move(quit)),
      m_showExtensions(std::move(showExtensions)) {}

DesktopLaunchHost::~DesktopLaunchHost() = default;

QList<QWidget*> DesktopLaunchHost::windows() {
    QList<QWidget*> result;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (widget->isWindow() && widget->windowType() == Qt::Window)
            result.append(widget);
    }
    return result;
}

LaunchHost::WindowSnapshot DesktopLaunchHost::windowSnapshot() {
    WindowSnapshot snapshot;
    for (QWidget* window : windows()) {
        if (window->isVisible() && !window->isMinimized())
            snapshot.anyVisible = true;
    }
    snapshot.hasMainWindow = m_mainWindow && !m_mainWindow->isMinimized();
    return snapshot;
}

void DesktopLaunchHost::hideAllWindows() {
    m_hidden.clear();
    for (QWidget* window : windows()) {
        if (window->isVisible() && !window->isMinimized())
            m_hidden.append(window);
        window->hide();
    }
    if (m_floater)
        m_floater->hide();
}

QList<QUrl> DesktopLaunchHost::chooseFilesToSync(const QString& message, const QString& folder) {
    if (m_chooser)
        return m_chooser(message, folder);
    QFileDialog dialog(nullptr, message, folder);
    dialog.setFileMode(QFileDialog::ExistingFiles);
    dialog.setNameFilters(DesktopSessionHost::nameFilters());
    dialog.setLabelText(QFileDialog::Accept, QStringLiteral("Sync"));
    dialog.setWindowModality(Qt::ApplicationModal);
    if (dialog.exec() != QDialog::Accepted)
        return {};
    return dialog.selectedUrls();
}

void DesktopLaunchHost::setWindowsHiddenForHeadless(bool hidden) {
    // Hidden already; transparent as well, so that nothing shown by accident can be seen or
    // clicked while the run goes on without them.
    for (QWidget* window : windows()) {
        window->setWindowOpacity(hidden ? 0.0 : 1.0);
        window->setAttribute(Qt::WA_TransparentForMouseEvents, hidden);
    }
}

void DesktopLaunchHost::showProgressFloater(AppViewModel& session) {
    m_floater = std::make_unique<ProgressFloaterPanel>(&session);
    m_floater->centerOnScreen();
    m_floater->show();
    m_floater->raise();
}

void DesktopLaunchHost::closeProgressFloater() {
    if (!m_floater)
        return;
    m_floater->hide();
    // The panel may be the sender of what ends the run: delete it from the event loop.
    m_floater.release()->deleteLater();
}

void DesktopLaunchHost::raiseProgressFloater() {
    if (!m_floater)
        return;
    m_floater->show();
    m_floater->raise();
}

void DesktopLaunchHost::showMainWindow() {
    for (const QPointer<QWidget>& window : std::as_const(m_hidden)) {
        if (window && window != m_mainWindow)
            window->show();
    }
    m_hidden.clear();
    if (!m_mainWindow)
        return;
    if (m_mainWindow->isMinimized())
        m_mainWindow->showNormal();
    else
        m_mainWindow->show();
    m_mainWindow->raise();
    m_mainWindow->activateWindow();
}

void DesktopLaunchHost::showMessage(const QString& text, const QString& informativeText) {
    QMessageBox box(QMessageBox::Warning, QStringLiteral("Corvale"), text, QMessageBox::Ok);
    box.setInformativeText(informativeText);
    box.exec();
}

void DesktopLaunchHost::showNotice(const QString& text) {
    m_lastNotice = text;
    auto* window = qobject_cast<MainWindow*>(m_mainWindow.data());
    if (window && window->isVisible() && window->windowOpacity() > 0.0)
        window->content()->showNotice(text);
    else
        DesktopNotification::post(text);
}

bool DesktopLaunchHost::hasModalWindow() {
    return QApplication::activeModalWidget() != nullptr;
}

bool DesktopLaunchHost::askQuestion(const QString& text, const QString& informativeText,
                                    const QString& firstButton, const QString& secondButton) {
    QMessageBox box(QMessageBox::Information, QStringLiteral("Corvale"), text);
    box.setInformativeText(informativeText);
    QPushButton* first = box.addButton(firstButton, QMessageBox::AcceptRole);
    box.addButton(secondButton, QMessageBox::RejectRole);
    box.setDefaultButton(first);
    box.exec();
    return box.clickedButton() == first;
}

void DesktopLaunchHost::showExtensionManagement() {
    if (m_showExtensions)
        m_showExtensions();
}

void DesktopLaunchHost::quitApplication() {
    if (m_quit)
        m_quit();
    else
        QCoreApplication::quit();
}

} // namespace corvale
