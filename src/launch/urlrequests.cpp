// SPDX-License-Identifier: GPL-3.0-or-later
#include "urlrequests.h"

#include "appservicesprovider.h"
#include "referencepath.h"

#include <QUrlQuery>

namespace corvale {

std::optional<QString> referencePathFromURL(const QUrl& url) {
    if (!url.isValid() || url.scheme() != QStringLiteral("corvale") ||
        url.host() != QStringLiteral("ref") || !url.hasQuery())
        return std::nullopt;
    const QUrlQuery query(url);
    const auto items = query.queryItems(QUrl::FullyDecoded);
    for (const auto& [name, value] : items) {
        if (name == QStringLiteral("path"))
            return acceptableReferencePath(value);
    }
    return std::nullopt;
}

void handleOpenURL(const QUrl& url, AppServicesProvider& provider) {
    if (const std::optional<QString> path = referencePathFromURL(url))
        provider.handleReference(*path);
}

} // namespace corvale
