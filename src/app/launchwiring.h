// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "desktoplaunchhost.h"
#include "launch/appservicesprovider.h"
#include "launch/filemanagerextensions.h"
#include "launch/updater.h"

#include <QObject>
#include <QStringList>

class QAction;

namespace corvale {

class CorvaleApp;
class UpdateCommand;

// Connects the application to what reaches it from outside: requests handed over at start or
// by a later start, the file-manager extension and its offer, and the updater with its Help
// menu entries. Each time the main window is shown the session goes to the services provider,
// a parked request is carried out and the extension offer is considered.
class LaunchWiring : public QObject {
    Q_OBJECT
public:
    // app must outlive the wiring.
    explicit LaunchWiring(CorvaleApp& app,
                          FileManagerExtensions extensions = FileManagerExtensions(),
                          QObject* parent = nullptr);
    ~LaunchWiring() override;

    [[nodiscard]] AppServicesProvider& servicesProvider() { return m_provider; }
    [[nodiscard]] DesktopLaunchHost& host() { return m_host; }
    [[nodiscard]] Updater& updater() { return m_updater; }
    [[nodiscard]] QAction* extensionAction() const { return m_extensionAction; }
    [[nodiscard]] QAction* updateAction() const;

    // The arguments of a start of `corvale` (absolute, see LaunchRequest), this one's or a
    // later one's.
    void handleArguments(const QStringList& arguments);
    void showExtensionManagement();

private:
    void mainWindowShown();

    CorvaleApp& m_app;
    FileManagerExtensions m_extensions;
    DesktopLaunchHost m_host;
    AppServicesProvider m_provider;
    Updater m_updater;
    UpdateCommand* m_updateCommand;
    QAction* m_extensionAction;
};

} // namespace corvale
