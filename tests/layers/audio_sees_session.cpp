// SPDX-License-Identifier: GPL-3.0-or-later
// Must not compile: the audio layer knows nothing of the session above it.
#include "audio/wavreader.h"
#include "session/runreport.h"
