// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

namespace corvale {

// The preferences one run works with, read once when it starts so that a change made during
// the run applies to the next one. The command line adjusts its own copy for one run.
struct RunSettings {
    bool renameForDropbox = true;
    bool normalizeLoudness = false;
    double targetLUFS = -16.0;
    bool labelEnabled = false;
    int labelNumber = 2; // 1…7; 0 or anything else is no label
    bool chimeWhenDone = true;
    QString completionSound = QStringLiteral("Glass");
    bool preciseAlignment = true; // the fine stage after the coarse analysis

    [[nodiscard]] static RunSettings fromPreferences();
    bool operator==(const RunSettings&) const = default;
};

// How a run ended, from the most to the least successful.
enum class RunOutcome {
    succeeded,             // every file synced and finished
    completedWithFailures, // the run went through, but a file failed or a finishing step did
    failed,                // a run-wide failure stopped it; its text is the status line
    cancelled,
};
[[nodiscard]] QString rawValue(RunOutcome outcome);

} // namespace corvale
