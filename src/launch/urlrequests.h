// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>
#include <QUrl>

#include <optional>

namespace corvale {

class AppServicesProvider;

// The reference path a "corvale://ref?path=…" URL carries: the first query item named exactly
// "path", decoded fully (the sender percent-encodes the whole path, so "%41" in a file name
// stays "%41"), and only when it is acceptable as a reference (acceptableReferencePath).
[[nodiscard]] std::optional<QString> referencePathFromURL(const QUrl& url);

// Hands the URL's reference to the provider; any other URL is ignored without a trace.
void handleOpenURL(const QUrl& url, AppServicesProvider& provider);

} // namespace corvale
