// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "audio/result.h"

#include <QList>
#include <QString>

namespace corvale {

// The "Use as Corvale Reference…" entry in the file managers' right-click menus. It is on for a
// file manager when Corvale's integration file is in the user's folder for it; installing
// writes that file, removing deletes it. A file of the same name that Corvale did not write is
// never replaced or deleted.
class FileManagerExtensions {
public:
    enum class FileManager { files, dolphin, nemo };

    // extensionExecutable: the command the integrations run; dataHome: the user's data folder
    // (~/.local/share); both default to this installation's.
    explicit FileManagerExtensions(QString extensionExecutable = defaultExtensionExecutable(),
                                   QString dataHome = defaultDataHome());

    [[nodiscard]] static QString defaultExtensionExecutable();
    [[nodiscard]] static QString defaultDataHome();
    [[nodiscard]] static QList<FileManager> all();
    [[nodiscard]] static QString displayName(FileManager manager);

    [[nodiscard]] QString integrationPath(FileManager manager) const;
    [[nodiscard]] QString integrationText(FileManager manager) const;
    [[nodiscard]] bool isInstalled(FileManager manager) const;
    // The entry is on in at least one file manager.
    [[nodiscard]] bool isEnabled() const;

    [[nodiscard]] Result<Done> install(FileManager manager) const;
    [[nodiscard]] Result<Done> remove(FileManager manager) const;

private:
    [[nodiscard]] bool isOurs(const QString& path) const;

    QString m_executable;
    QString m_dataHome;
};

} // namespace corvale
