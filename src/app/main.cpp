// SPDX-License-Identifier: GPL-3.0-or-later
// corvale: the desktop application.
#include "corvaleapp.h"
#include "glyphs.h"
#include "launchwiring.h"
#include "theme.h"

#include "launch/launchrequest.h"
#include "launch/singleinstance.h"

#include <QApplication>
#include <QDir>

int main(int argc, char** argv) {
    QApplication::setOrganizationName(QStringLiteral("Corvale"));
    QApplication::setApplicationName(QStringLiteral("Corvale"));
    QApplication::setApplicationVersion(QStringLiteral(CORVALE_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("corvale"));
    QApplication app(argc, argv);

    // One Corvale per user: a later start hands its request to the running one and ends.
    const QStringList arguments = corvale::LaunchRequest::absoluteArguments(
        QApplication::arguments().mid(1), QDir::currentPath());
    corvale::SingleInstance instance;
    if (instance.forwardToRunningInstance(arguments))
        return 0;
    // Two starts at once: the one that lost the race hands over to the other. Without the
    // socket Corvale still works; later starts just open their own window.
    if (!instance.listen() && instance.forwardToRunningInstance(arguments))
        return 0;

    QApplication::setWindowIcon(
        corvale::glyphIcon(corvale::Glyph::appIcon, corvale::theme::accent()));
    corvale::CorvaleApp corvale;
    corvale::LaunchWiring launch(corvale);
    QObject::connect(&instance, &corvale::SingleInstance::argumentsReceived, &launch,
                     &corvale::LaunchWiring::handleArguments);
    // A request given at start is parked until the main window is shown.
    if (!arguments.isEmpty())
        launch.handleArguments(arguments);
    corvale.showMainWindow();
    const int code = QApplication::exec();
    // Like any program ended by a signal, as far as its caller can tell.
    return corvale.quitSignal() ? 128 + corvale.quitSignal() : code;
}
