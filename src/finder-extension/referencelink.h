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

    // The first argument says that the items after it are URIs, not paths. Only an entry that asks
    // its file manager for URIs passes it: a file may well be named "file:%2E%2E%2Fx.wav".
    static constexpr const char* urisOption = "--uris";

    // The path is percent-encoded here in full (only "/" kept), so that no "%XX" in a file name
    // is taken for an escape on the way and the receiver's full decode gives it back unchanged.
    [[nodiscard]] static QUrl forPath(const QString& absolutePath);

    // The absolute path of the first selected item from the extension's arguments: paths
    // (relative ones against workingDirectory), or after urisOption local file: URIs. Nothing
    // for an empty selection, other URIs, and names that do not survive decoding (not valid in
    // the local encoding).
    [[nodiscard]] static std::optional<QString>
    firstSelectedPath(const QList<QByteArray>& arguments, const QString& workingDirectory);

    // The local path of a file: URI with no host or "localhost".
    [[nodiscard]] static std::optional<QString> pathFromFileUri(const QString& uri);

    // What to tell the user when the first selected item was refused because its name is not
    // valid UTF-8 (no path to it can reach Corvale unchanged); nothing otherwise.
    [[nodiscard]] static std::optional<QString> refusal(const QList<QByteArray>& arguments);
};

} // namespace corvale
