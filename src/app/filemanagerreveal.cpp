// SPDX-License-Identifier: GPL-3.0-or-later
#include "filemanagerreveal.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDesktopServices>
#include <QFileInfo>

namespace corvale {

namespace {
// A file manager started by D-Bus activation may take a while to answer.
constexpr int kShowItemsTimeoutMs = 5000;
} // namespace

QString FileManagerReveal::openFolder(const QUrl& folder) {
    if (QDesktopServices::openUrl(folder))
        return {};
    return QStringLiteral("No file manager could open “%1”.").arg(folder.toLocalFile());
}

void FileManagerReveal::showItems(const QList<QUrl>& files, const Done& done) {
    if (files.isEmpty())
        return;
    const QUrl folder = QUrl::fromLocalFile(QFileInfo(files.first().toLocalFile()).absolutePath());
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        done(openFolder(folder));
        return;
    }
    QStringList uris;
    for (const QUrl& file : files)
        uris << QString::fromLatin1(file.toEncoded());
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.FileManager1"),
        QStringLiteral("/org/freedesktop/FileManager1"),
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("ShowItems"));
    call << uris << QString();
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, kShowItemsTimeoutMs));
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher,
                     [done, folder](QDBusPendingCallWatcher* finished) {
                         finished->deleteLater();
                         if (finished->isError())
                             done(openFolder(folder));
                         else
                             done({});
                     });
}

} // namespace corvale
