// SPDX-License-Identifier: GPL-3.0-or-later
// Must not compile: only the application knows widgets.
#include "audio/wavreader.h"
#include <QWidget>
