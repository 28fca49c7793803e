// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

#include <stop_token>

namespace corvale {

// Puts a copy of source at destination, never replacing an existing destination. On the same
// file system this is a hard link (source is a run's own temporary file, so sharing its data
// is safe and costs nothing); elsewhere the data is copied through a temporary file beside the
// destination, which is linked into place only when complete. On failure or a stop request
// nothing is left behind. Returns whether the copy is in place.
bool copyFileSafely(const QString& source, const QString& destination, std::stop_token stop);

} // namespace corvale
