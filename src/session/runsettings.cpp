// SPDX-License-Identifier: GPL-3.0-or-later
#include "runsettings.h"

#include "preferences.h"

namespace corvale {

RunSettings RunSettings::fromPreferences() {
    RunSettings s;
    s.renameForDropbox = Preferences::renameForDropbox();
    s.normalizeLoudness = Preferences::normalizeLoudness();
    s.targetLUFS = Preferences::targetLUFS();
    s.labelEnabled = Preferences::finderLabelEnabled();
    s.labelNumber = Preferences::finderLabelNumber();
    s.chimeWhenDone = Preferences::chimeWhenDone();
    s.completionSound = Preferences::completionSound();
    s.preciseAlignment = Preferences::preciseAlignment();
    return s;
}

QString rawValue(RunOutcome outcome) {
    switch (outcome) {
    case RunOutcome::succeeded:
        return QStringLiteral("succeeded");
    case RunOutcome::completedWithFailures:
        return QStringLiteral("completedWithFailures");
    case RunOutcome::failed:
        return QStringLiteral("failed");
    case RunOutcome::cancelled:
        break;
    }
    return QStringLiteral("cancelled");
}

} // namespace corvale
