// SPDX-License-Identifier: GPL-3.0-or-later
#include "desktopnotification.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QVariantMap>

namespace corvale {

bool DesktopNotification::post(const QString& text) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return false;
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.Notifications"),
        QStringLiteral("/org/freedesktop/Notifications"),
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
    // app name, replaces id, icon, summary, body, actions, hints, timeout (server's default)
    call << QStringLiteral("Corvale") << uint(0) << QStringLiteral("corvale")
         << QStringLiteral("Corvale") << text << QStringList() << QVariantMap() << int(-1);
    return bus.send(call);
}

} // namespace corvale
