// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QUrl>

#include <optional>

namespace corvale {

// The file-manager extension's half of the hand-over: the "corvale://ref?path=…" URL of the first
// selected item. Links nothing of the application.
class ReferenceLink {
public:
    ReferenceLink() = delete;

    // The path is percent-encoded here in full (only "/" kept), so that no "%XX" in a file name
    // is taken for an escape on the way and the receiver's full decode gives it back unchanged.
    [[nodiscard]] static QUrl forPath(const QString& absolutePath);

    // The absolute path of the first argument as a file manager passes it: a path (relative
    // ones against workingDirectory) or a file: URI. Nothing for other URIs, for an empty
    // selection, and for names that do not survive decoding (not valid in the local encoding).
    [[nodiscard]] static std::optional<QString>
    firstSelectedPath(const QList<QByteArray>& arguments, const QString& workingDirectory);
};

} // namespace corvale
