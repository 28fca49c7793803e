// SPDX-License-Identifier: GPL-3.0-or-later
// The run's summary and outcome count what really happened to every file.
#include "session/runreport.h"

#include <gtest/gtest.h>

using namespace corvale;

namespace {

ItemReport failedWrite(const QString& path) {
    return {QUrl(), ItemFailure{RunStep::write, path, CorvaleError::passedOn("Permission denied")},
            std::nullopt};
}

ItemReport placed(bool review = false) {
    SyncResult result;
    if (review)
        result.warnings.append({WarningKind::lowOffsetConfidence, QStringLiteral("x")});
    return {QUrl(), result, std::nullopt};
}

} // namespace

TEST(RunReport, EveryFileFailedIsNeverDone) {
    RunReport report;
    report.items = {failedWrite("/music/out/Ann-synced.wav"),
                    failedWrite("/music/out/Bo-synced.wav")};
    report.outcome = outcomeOf(report, false);
    EXPECT_EQ(report.outcome, RunOutcome::completedWithFailures);
    EXPECT_EQ(report.summary("1s"), "Finished in 1s — 2 failed");
    EXPECT_EQ(report.items[0].failure()->message(),
              "Cannot write /music/out/Ann-synced.wav: Permission denied");
}

TEST(RunReport, SomeFailedAreCountedBesideTheRest) {
    RunReport report;
    report.items = {placed(), placed(true), failedWrite("/o/a.wav"), placed(), failedWrite("/o/b")};
    report.outcome = outcomeOf(report, false);
    EXPECT_EQ(report.summary("2s"), "Finished in 2s — 2 synced · 1 needs review · 2 failed");
    EXPECT_FALSE(report.isClean());
}

TEST(RunReport, TheReferenceCopyIsAnOutputLikeTheOthers) {
    RunReport report;
    report.items = {placed()};
    report.outcome = outcomeOf(report, false);
    EXPECT_TRUE(report.isClean());
    report.referenceCopy.state = ReferenceCopyReport::State::failed;
    report.outcome = outcomeOf(report, false);
    EXPECT_EQ(report.outcome, RunOutcome::completedWithFailures);
    EXPECT_EQ(report.summary("1s"), "Finished in 1s — 1 synced · reference copy failed");
}

TEST(RunReport, ACancelledRunCountsWhatWasFinishedBeforeTheStop) {
    RunReport report;
    report.items = {placed(), ItemReport{}, ItemReport{}};
    report.outcome = outcomeOf(report, true);
    EXPECT_EQ(report.summary("3s"), "Cancelled — 1 synced · 2 cancelled");
    report.items = {ItemReport{}};
    EXPECT_EQ(report.summary("3s"), "Cancelled");
}
