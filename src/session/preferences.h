// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>
#include <QStringList>
#include <QVariant>

namespace corvale {

// The user's run preferences, read from the settings store at every call (nothing is cached,
// so a change applies at its next use). A value that is absent or does not read as the key's
// type gives the key's default. Booleans read only true/false or 1/0.
class Preferences {
public:
    Preferences() = delete;

    // The completion sounds a run can play ("completionSound"), in the order they are offered.
    static const QStringList kCompletionSounds;

    [[nodiscard]] static bool autoPopulateFiles();  // default true
    [[nodiscard]] static bool renameForDropbox();   // default true
    [[nodiscard]] static bool chimeWhenDone();      // default true
    [[nodiscard]] static QString completionSound(); // default "Glass"
    [[nodiscard]] static bool normalizeLoudness();  // default false
    [[nodiscard]] static double targetLUFS();       // default -16.0; never NaN or infinite
    [[nodiscard]] static bool finderLabelEnabled(); // default false
    // 1…7 names a colour label; 0 means no label, which is also what a stored number outside
    // 0…7 gives. Default 2.
    [[nodiscard]] static int finderLabelNumber();
    // Sample-accurate alignment after the coarse analysis ("preciseAlignment"); default true.
    // Off, a run places every file by the coarse analysis alone.
    [[nodiscard]] static bool preciseAlignment();

    static void setAutoPopulateFiles(bool on);
    static void setRenameForDropbox(bool on);
    static void setChimeWhenDone(bool on);
    static void setCompletionSound(const QString& name);
    static void setNormalizeLoudness(bool on);
    static void setTargetLUFS(double lufs);
    static void setFinderLabelEnabled(bool on);
    static void setFinderLabelNumber(int number);
    static void setPreciseAlignment(bool on);

    // Process-wide values that win over the store without being saved (command-line flags
    // must not change the user's settings). Read with the same rules as stored values.
    static void setOverride(const QString& key, const QVariant& value);
    static void clearOverrides();

    // The tag name written for a label number (1 "Gray" … 7 "Orange"); empty for 0 and for
    // any number outside 0…7.
    [[nodiscard]] static QString labelName(int number);
};

} // namespace corvale
