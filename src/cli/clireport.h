// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "session/runreport.h"

#include <QJsonObject>
#include <QString>

namespace corvale::cli {

// A run's report as an aligned text table: file, offset and drift as written, confidence band
// (or "not found"), warnings and outputs (relative to outputFolder).
[[nodiscard]] QString resultTable(const RunReport& report, const QString& outputFolder);

// The full report, machine-readable: per input its verdict, the placement and drift written,
// the coarse analysis' figures under "coarse", the fine stage, the search, warnings and
// outputs; the run's outcome, counts and reference copy. Keys beside the report (reference,
// outputFolder, status, elapsed) are the caller's.
[[nodiscard]] QJsonObject resultJson(const RunReport& report);

} // namespace corvale::cli
