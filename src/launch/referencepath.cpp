// SPDX-License-Identifier: GPL-3.0-or-later
#include "referencepath.h"

#include <QDir>
#include <QFile>

#include <filesystem>
#include <system_error>

namespace corvale {

std::optional<QString> acceptableReferencePath(const QString& path) {
    if (path.isEmpty() || !path.startsWith(QLatin1Char('/')) || path.contains(QChar(u'\0')))
        return std::nullopt;
    const QString cleaned = QDir::cleanPath(path);
    std::error_code error;
    // Follows symbolic links: a link to a regular file is as good as the file.
    const auto status = std::filesystem::status(QFile::encodeName(cleaned).toStdString(), error);
    if (error || !std::filesystem::is_regular_file(status))
        return std::nullopt;
    return cleaned;
}

} // namespace corvale
