// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

#include <optional>

namespace corvale {

// Requests from outside (URLs, file arguments, the single-instance socket) come from anyone who
// can open a link. Only an absolute path that, cleaned, names an existing regular file is taken:
// never a relative name, another URL scheme, an empty value, a folder, or a pipe or device that
// would block whoever opens it. Gives the cleaned path, or nothing.
[[nodiscard]] std::optional<QString> acceptableReferencePath(const QString& path);

} // namespace corvale
