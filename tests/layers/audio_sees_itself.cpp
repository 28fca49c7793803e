// SPDX-License-Identifier: GPL-3.0-or-later
// Compiles: the audio layer's own headers and the sync layer below it.
#include "audio/wavreader.h"
#include "sync/synctypes.h"
