// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "audio/publishfile.h"
#include "audio/result.h"

#include <QString>

#include <stop_token>

namespace corvale {

// Puts a copy of source at destination, never replacing anything there; a name taken
// meanwhile gives way to the next one nextName offers. On the same file system this is a hard
// link (source is a run's own temporary file, so sharing its data is safe and costs nothing);
// elsewhere the data is copied through a temporary file beside the destination, which is
// published only when complete. On failure or a stop request nothing is left behind. Returns
// the path really written. Errors: the system's text (passedOn), cancelled.
[[nodiscard]] Result<QString> copyFileSafely(const QString& source, const QString& destination,
                                             std::stop_token stop, const NextName& nextName = {});

} // namespace corvale
