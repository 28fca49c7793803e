// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QJsonObject>
#include <QString>

namespace corvale {
class AppViewModel;
}

namespace corvale::cli {

// The results of the session's last run as an aligned text table: file, offset, confidence
// band, drift applied, final drift, warnings and outputs (relative to the output folder).
[[nodiscard]] QString resultTable(const AppViewModel& session);

// The full results, machine-readable: per input file its status, offset in samples and
// seconds, confidence, margin, band, cross-check, stereo verdict, drift points, drift applied,
// final drift, warnings and output paths.
[[nodiscard]] QJsonObject resultJson(const AppViewModel& session);

} // namespace corvale::cli
