// SPDX-License-Identifier: GPL-3.0-or-later
#include "extensionoffer.h"

#include "filemanagerextensions.h"
#include "launchhost.h"
#include "session/appviewmodel.h"

#include <QPointer>
#include <QSettings>
#include <QTimer>

namespace corvale {

namespace {

bool alreadyOffered() {
    return QSettings().value(ExtensionOffer::offeredKey).toBool();
}

} // namespace

QString ExtensionOffer::messageText() {
    return QStringLiteral("Add Corvale to your file manager’s right-click menu?");
}

QString ExtensionOffer::informativeText() {
    return QStringLiteral(
        "Corvale can add “Use as Corvale Reference…” to the right-click menu of your file "
        "manager (Files, Dolphin, Nemo).\n\nYou can add or remove it at any time under Help › "
        "Enable File Manager Extension…");
}

void ExtensionOffer::offerFinderExtension(AppViewModel& session, LaunchHost& host,
                                          const FileManagerExtensions& extensions, int delay) {
    if (alreadyOffered())
        return;
    QTimer::singleShot(delay, &session,
                       [session = QPointer<AppViewModel>(&session), &host, extensions] {
                           if (!session || session->headlessMode() || host.hasModalWindow())
                               return;
                           if (alreadyOffered())
                               return;
                           QSettings().setValue(offeredKey, true);
                           if (extensions.isEnabled())
                               return;
                           if (host.askQuestion(messageText(), informativeText(),
                                                QStringLiteral("Open Extension Settings"),
                                                QStringLiteral("Not Now")))
                               host.showExtensionManagement();
                       });
}

} // namespace corvale
