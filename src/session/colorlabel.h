// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

namespace corvale {

// Gives a file the freedesktop colour tag (the "user.xdg.tags" extended attribute) of label
// number 1…7. Number 0, an unknown number and file systems without extended attributes leave
// the file as it is; failures are not reported.
void applyColorLabel(const QString& path, int number);

// The tag a file carries, empty when none; for tests and the command line's report.
[[nodiscard]] QString colorLabelOf(const QString& path);

} // namespace corvale
