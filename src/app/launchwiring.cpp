// SPDX-License-Identifier: GPL-3.0-or-later
#include "launchwiring.h"

#include "corvaleapp.h"
#include "extensionsdialog.h"
#include "mainwindow.h"
#include "menucommands.h"
#include "updatecommand.h"

#include "launch/extensionoffer.h"
#include "launch/launchrequest.h"

#include <QAction>
#include <QMenu>

namespace corvale {

LaunchWiring::LaunchWiring(CorvaleApp& app, FileManagerExtensions extensions, QObject* parent)
    : QObject(parent), m_app(app), m_extensions(std::move(extensions)),
      m_host(
          app.mainWindow(), [&app] { app.quit(); }, [this] { showExtensionManagement(); }),
      m_provider(m_host), m_updateCommand(new UpdateCommand(m_updater, app.mainWindow(), this)),
      m_extensionAction(new QAction(QStringLiteral("Enable File Manager Extension…"), this)) {
    MenuCommands* menus = app.commands();
    menus->addHelpAction(m_extensionAction);
    menus->helpMenu()->addAction(m_updateCommand->action());
    connect(m_extensionAction, &QAction::triggered, this, &LaunchWiring::showExtensionManagement);
    // After the show has finished: the wiring may open the request's modal panel.
    connect(
        app.mainWindow(), &MainWindow::openChanged, this,
        [this](bool open) {
            if (open)
                mainWindowShown();
        },
        Qt::QueuedConnection);
}

LaunchWiring::~LaunchWiring() = default;

QAction* LaunchWiring::updateAction() const {
    return m_updateCommand->action();
}

void LaunchWiring::handleArguments(const QStringList& arguments) {
    LaunchRequest::fromArguments(arguments).dispatch(m_provider);
}

void LaunchWiring::showExtensionManagement() {
    ExtensionsDialog dialog(m_extensions,
                            m_app.mainWindow()->isVisible() ? m_app.mainWindow() : nullptr);
    dialog.exec();
}

void LaunchWiring::mainWindowShown() {
    AppViewModel* session = m_app.session();
    if (!session)
        return;
    m_provider.setViewModel(session);
    m_provider.processPendingReference();
    ExtensionOffer::offerFinderExtension(*session, m_host, m_extensions);
}

} // namespace corvale
