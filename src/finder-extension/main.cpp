// SPDX-License-Identifier: GPL-3.0-or-later
// The file-manager extension: "Use as Corvale Reference…" runs this with the selected items;
// it opens the first one's "corvale" URL through the desktop, which hands it to Corvale.
// The file manager has nowhere to show a failure: a name Corvale could never open is said in
// a desktop notification, anything else ends quietly.
#include "referencelink.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDir>
#include <QProcess>
#include <QUrlQuery>
#include <QVariantMap>

namespace {

void notify(const QString& text) {
    QDBusMessage message = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.Notifications"),
        QStringLiteral("/org/freedesktop/Notifications"),
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
    message << QStringLiteral("Corvale") << 0u << QStringLiteral("corvale")
            << QStringLiteral("Corvale") << text << QStringList() << QVariantMap() << 8000;
    QDBusConnection::sessionBus().call(message, QDBus::Block, 2000);
}

} // namespace

int main(int argc, char** argv) {
    QList<QByteArray> arguments;
    for (int i = 1; i < argc; ++i)
        arguments.append(QByteArray(argv[i]));
    const auto path = corvale::ReferenceLink::firstSelectedPath(arguments, QDir::currentPath());
    if (!path) {
        if (const auto why = corvale::ReferenceLink::refusal(arguments)) {
            QCoreApplication app(argc, argv);
            notify(*why);
        }
        return 0;
    }
    const QUrl url = corvale::ReferenceLink::forPath(*path);
    // Read back the way Corvale reads it: a path that would not arrive unchanged is not sent.
    if (!url.isValid() ||
        QUrlQuery(url).queryItemValue(QStringLiteral("path"), QUrl::FullyDecoded) != *path)
        return 0;
    QProcess::startDetached(QStringLiteral("xdg-open"), {url.toString(QUrl::FullyEncoded)});
    return 0;
}
