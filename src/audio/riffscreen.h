// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "corvaleerror.h"

#include <QString>

namespace corvale {

// libsndfile 1.2 never returns from opening a WAV (RIFF, RIFX or RF64) whose LIST holds an
// entry of an unknown kind sized near 4 GiB: its 32-bit count of the list's bytes wraps around
// and the parser reads the same entry again forever. No real file holds an entry longer than
// the file itself, nor a list whose entries count past 4 GiB, so a file with one is screened
// out before the library opens it.
// True when the file at path (any format) holds no such entry, or cannot be read here (the
// library then gives its own error).
[[nodiscard]] bool riffListsArePlausible(const QString& path);
[[nodiscard]] bool riffListsArePlausible(int fd);
// What reading such a file gives.
[[nodiscard]] CorvaleError malformedHeader();

} // namespace corvale
