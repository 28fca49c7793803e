// SPDX-License-Identifier: GPL-3.0-or-later
#include "referencelink.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QUrlQuery>

namespace corvale {

QUrl ReferenceLink::forPath(const QString& absolutePath) {
    QUrl url;
    url.setScheme(QStringLiteral("corvale"));
    url.setHost(QStringLiteral("ref"));
    QUrlQuery query;
    query.addQueryItem(QStringLiteral("path"),
                       QString::fromLatin1(QUrl::toPercentEncoding(absolutePath, "/")));
    url.setQuery(query);
    return url;
}

std::optional<QString> ReferenceLink::firstSelectedPath(const QList<QByteArray>& arguments,
                                                        const QString& workingDirectory) {
    if (arguments.isEmpty() || arguments.first().isEmpty())
        return std::nullopt;
    const QByteArray& raw = arguments.first();
    const QString argument = QFile::decodeName(raw);
    if (QFile::encodeName(argument) != raw)
        return std::nullopt;
    static const QRegularExpression uriScheme(QStringLiteral("^[A-Za-z][A-Za-z0-9+.-]*:"));
    QString path = argument;
    if (argument.startsWith(QStringLiteral("file:"), Qt::CaseInsensitive)) {
        const QUrl url(argument);
        if (!url.isValid() || !url.isLocalFile() ||
            !(url.host().isEmpty() || url.host() == QStringLiteral("localhost")))
            return std::nullopt;
        path = url.toLocalFile();
    } else if (!argument.startsWith(QLatin1Char('/')) && argument.contains(QStringLiteral("://")) &&
               uriScheme.match(argument).hasMatch()) {
        return std::nullopt;
    }
    if (path.isEmpty())
        return std::nullopt;
    return QDir::cleanPath(QDir(workingDirectory).absoluteFilePath(path));
}

} // namespace corvale
