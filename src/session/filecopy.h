// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

#include <stop_token>

namespace corvale {

// Copies source to destination through a temporary file beside the destination, which is
// linked into place only when complete; an existing destination is never replaced. On failure
// or a stop request nothing is left behind. Returns whether the copy is in place.
bool copyFileSafely(const QString& source, const QString& destination, std::stop_token stop);

} // namespace corvale
