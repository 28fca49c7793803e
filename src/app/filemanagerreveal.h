// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QList>
#include <QString>
#include <QUrl>

#include <functional>

namespace corvale {

// Shows files in the user's file manager: selected in their folder where a file manager offers
// the freedesktop FileManager1 interface, else by opening their folder.
class FileManagerReveal {
public:
    FileManagerReveal() = delete;

    // Called with an empty text when shown, else with why not.
    using Done = std::function<void(const QString& problem)>;

    static void showItems(const QList<QUrl>& files, const Done& done);
    // The folder itself, opened by the desktop's handler for folders.
    [[nodiscard]] static QString openFolder(const QUrl& folder);
};

} // namespace corvale
