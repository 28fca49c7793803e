// SPDX-License-Identifier: GPL-3.0-or-later
#include "referencelink.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
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

std::optional<QString> ReferenceLink::pathFromFileUri(const QString& uri) {
    const QUrl url(uri, QUrl::StrictMode);
    if (!url.isValid() || url.scheme().compare(QStringLiteral("file"), Qt::CaseInsensitive) != 0)
        return std::nullopt;
    const QString host = url.host();
    if (!host.isEmpty() && host.compare(QStringLiteral("localhost"), Qt::CaseInsensitive) != 0)
        return std::nullopt;
    // toLocalFile() would keep "localhost" as a network share's "//localhost/…".
    const QString path = url.path(QUrl::FullyDecoded);
    // Escapes of bytes that are not UTF-8 decode to replacement characters: another name.
    if (!path.startsWith(QLatin1Char('/')) || path.contains(QChar::ReplacementCharacter))
        return std::nullopt;
    return QDir::cleanPath(path);
}

std::optional<QString> ReferenceLink::refusal(const QList<QByteArray>& arguments) {
    const bool uris = !arguments.isEmpty() && arguments.first() == urisOption;
    const qsizetype first = uris ? 1 : 0;
    if (arguments.size() <= first)
        return std::nullopt;
    const QByteArray& raw = arguments.at(first);
    const QString name = uris ? QUrl(QString::fromLatin1(raw)).fileName(QUrl::FullyDecoded)
                              : QFileInfo(QFile::decodeName(raw)).fileName();
    const bool undecodable = uris ? name.contains(QChar::ReplacementCharacter)
                                  : QFile::encodeName(QFile::decodeName(raw)) != raw;
    if (!undecodable)
        return std::nullopt;
    return QStringLiteral("Corvale can’t use “%1”: its name is not valid UTF-8. Rename the file "
                          "and try again.")
        .arg(name);
}

std::optional<QString> ReferenceLink::firstSelectedPath(const QList<QByteArray>& arguments,
                                                        const QString& workingDirectory) {
    const bool uris = !arguments.isEmpty() && arguments.first() == urisOption;
    const qsizetype first = uris ? 1 : 0;
    if (arguments.size() <= first || arguments.at(first).isEmpty())
        return std::nullopt;
    const QByteArray& raw = arguments.at(first);
    const QString argument = QFile::decodeName(raw);
    if (QFile::encodeName(argument) != raw)
        return std::nullopt;
    if (uris)
        return pathFromFileUri(argument);
    return QDir::cleanPath(QDir(workingDirectory).absoluteFilePath(argument));
}

} // namespace corvale
