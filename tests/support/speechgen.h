// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "demo/speechgen.h"

namespace corvale::test {
using demo::excerpt;
using demo::interleave;
using demo::resampleByRatio;
using demo::speechLike;
} // namespace corvale::test
