// SPDX-License-Identifier: GPL-3.0-or-later
// What a run ends with: one value that every front end reads (the window, the floater, the
// headless flow and the command line), so that each tells the same story.
#pragma once

#include "audio/corvaleerror.h"
#include "itemanalysis.h"
#include "runsettings.h"
#include "syncresult.h"

#include <QList>
#include <QString>
#include <QUrl>

#include <optional>
#include <variant>

namespace corvale {

// The steps an input goes through, in order.
enum class RunStep { probe, convert, analyze, write, normalize, label };

// A step that failed for one path (an input, an output or the reference copy).
struct ItemFailure {
    RunStep step = RunStep::convert;
    QString path;
    CorvaleError error = CorvaleError::cannotReadAudio({});
    // "Cannot write /music/out/Ann-synced.wav: Permission denied"
    [[nodiscard]] QString message() const;
    bool operator==(const ItemFailure&) const = default;
};

// The run stopped before this item was finished.
struct ItemCancelled {
    bool operator==(const ItemCancelled&) const = default;
};

// One input's end: its result, its failure or its cancellation, with its analysis when it got
// that far.
struct ItemReport {
    QUrl input;
    std::variant<ItemCancelled, SyncResult, ItemFailure> outcome;
    std::optional<ItemAnalysis> analysis;

    [[nodiscard]] const SyncResult* result() const { return std::get_if<SyncResult>(&outcome); }
    [[nodiscard]] const ItemFailure* failure() const { return std::get_if<ItemFailure>(&outcome); }
    [[nodiscard]] ItemVerdict verdict() const;
};

// The copy of the reference written beside the outputs, an output like the others.
struct ReferenceCopyReport {
    enum class State { notNeeded, written, failed, cancelled };
    State state = State::notNeeded;
    QString path; // the name really written
    std::optional<ItemFailure> failure;
};

struct RunReport {
    RunOutcome outcome = RunOutcome::succeeded;
    // A run-wide failure (the reference could not be used, no temporary folder): its text.
    std::optional<QString> runFailure;
    // The reference's own failure, when that is what stopped the run.
    std::optional<ItemFailure> referenceFailure;
    QList<ItemReport> items; // in the order of the request
    ReferenceCopyReport referenceCopy;
    double sampleRate = 0.0;
    double elapsedSeconds = 0.0;

    [[nodiscard]] int count(ItemVerdict verdict) const;
    // Every file was placed, needs no review, and every output and finishing step succeeded.
    [[nodiscard]] bool isClean() const;
    // "3 synced · 1 needs review · 1 not found · 2 failed"; counts of zero are left out.
    [[nodiscard]] QString counts() const;
    // The one line that ends a run: "Finished in 12s — 3 synced · 1 not found", the failure's
    // text for a run that failed, "Cancelled — …" for one that was stopped.
    [[nodiscard]] QString summary(const QString& elapsed) const;
};

// The outcome a report's items and reference copy add up to.
[[nodiscard]] RunOutcome outcomeOf(const RunReport& report, bool cancelled);

} // namespace corvale
