// SPDX-License-Identifier: GPL-3.0-or-later
// A run's private temporary folder, and the clean-up of folders whose run is gone.
#pragma once

#include "audio/result.h"

#include <QString>

namespace corvale {

// Creates "Corvale_<UUID>" in tempRoot, readable by the user only, marked with this process
// as its owner. Errors: the system's text (passedOn).
[[nodiscard]] Result<QString> createRunFolder(const QString& tempRoot);

// Removes the "Corvale_*" folders of this user in tempRoot whose owner process no longer
// exists (a run killed before it could clean up). A folder with no owner mark is left alone
// unless it has not changed for an hour. Returns how many were removed.
int removeStaleRunFolders(const QString& tempRoot);

} // namespace corvale
