// SPDX-License-Identifier: GPL-3.0-or-later
#include "launchrequest.h"

#include "appservicesprovider.h"
#include "referencepath.h"
#include "urlrequests.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>

namespace corvale {

namespace {

bool isCorvaleUrl(const QString& argument) {
    return argument.startsWith(QStringLiteral("corvale:"), Qt::CaseInsensitive);
}

bool looksLikeUrl(const QString& argument) {
    static const QRegularExpression scheme(QStringLiteral("^[A-Za-z][A-Za-z0-9+.-]*://"));
    return isCorvaleUrl(argument) ||
           argument.startsWith(QStringLiteral("file:"), Qt::CaseInsensitive) ||
           scheme.match(argument).hasMatch();
}

// The local file an argument names, when it is an acceptable reference.
std::optional<QString> localFile(const QString& argument) {
    if (!looksLikeUrl(argument))
        return acceptableReferencePath(argument);
    const QUrl url(argument);
    if (!url.isValid() || !url.isLocalFile() ||
        !(url.host().isEmpty() || url.host() == QStringLiteral("localhost")))
        return std::nullopt;
    // toLocalFile() would keep "localhost" as a network share's "//localhost/…".
    return acceptableReferencePath(url.path(QUrl::FullyDecoded));
}

} // namespace

LaunchRequest LaunchRequest::fromArguments(const QStringList& arguments) {
    LaunchRequest request;
    if (arguments.isEmpty()) {
        request.m_kind = Kind::reopen;
        return request;
    }
    if (std::all_of(arguments.begin(), arguments.end(), isCorvaleUrl)) {
        request.m_kind = Kind::urls;
        for (const QString& argument : arguments)
            request.m_urls.append(QUrl(argument));
        return request;
    }
    for (const QString& argument : arguments) {
        const std::optional<QString> file = localFile(argument);
        if (!file)
            request.m_skipped.append(argument);
        else if (request.m_file.isEmpty())
            request.m_file = *file;
    }
    request.m_kind = request.m_file.isEmpty() ? Kind::ignored : Kind::file;
    return request;
}

QString LaunchRequest::skippedNotice() const {
    if (m_skipped.isEmpty())
        return {};
    QStringList names;
    for (const QString& argument : m_skipped) {
        QString name = looksLikeUrl(argument) ? argument : QFileInfo(argument).fileName();
        // A name may hold a line break or bytes that are not text; it is shown on one line.
        name.replace(QLatin1Char('\n'), QChar(0x21B5));
        QString shown = QStringLiteral("“%1”").arg(name.isEmpty() ? argument : name);
        // Bytes that are not UTF-8 came in as replacement characters: no such file can be
        // opened by that name, which is worth saying.
        if (argument.contains(QChar::ReplacementCharacter))
            shown += QStringLiteral(" (its name is not valid UTF-8)");
        names << shown;
    }
    return QStringLiteral("Skipped, not a regular file: %1").arg(names.join(QStringLiteral(", ")));
}

QStringList LaunchRequest::absoluteArguments(const QStringList& arguments,
                                             const QString& workingDirectory) {
    QStringList absolute;
    const QDir base(workingDirectory);
    for (const QString& argument : arguments) {
        if (argument.isEmpty() || looksLikeUrl(argument))
            absolute.append(argument);
        else
            absolute.append(QDir::cleanPath(base.absoluteFilePath(argument)));
    }
    return absolute;
}

void LaunchRequest::dispatch(AppServicesProvider& provider) const {
    switch (m_kind) {
    case Kind::reopen:
        provider.reopen();
        break;
    case Kind::urls:
        for (const QUrl& url : m_urls)
            handleOpenURL(url, provider);
        break;
    case Kind::file:
    case Kind::ignored:
        // Said before the request's open panel takes over.
        if (!m_skipped.isEmpty())
            provider.showNotice(skippedNotice());
        if (m_kind == Kind::file)
            provider.handleReference(m_file);
        break;
    }
}

} // namespace corvale
