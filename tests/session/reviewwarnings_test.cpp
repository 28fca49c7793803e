// SPDX-License-Identifier: GPL-3.0-or-later
#include "session/resultbuilder.h"
#include "session/reviewwarnings.h"

#include <QLocale>

#include <cmath>

#include <gtest/gtest.h>

using namespace corvale;

namespace {

OffsetResult band(ConfidenceBand b) {
    OffsetResult r;
    r.confidenceBand = b;
    return r;
}

const OffsetResult kHigh = band(ConfidenceBand::high);

QStringList codes(const QList<SyncWarning>& warnings) {
    QStringList out;
    for (const auto& w : warnings)
        out << w.code();
    return out;
}

bool sparse(double gap, double aligned) {
    return codes(reviewWarnings(kHigh, true, gap, aligned)) ==
           QStringList{QStringLiteral("SPARSE_DRIFT_COVERAGE")};
}

} // namespace

TEST(ReviewWarnings, ConfidentAlignmentWithoutDriftHasNone) {
    EXPECT_TRUE(reviewWarnings(kHigh, false, 0.0, 3600.0).isEmpty());
    EXPECT_TRUE(reviewWarnings(band(ConfidenceBand::medium), false, 0.0, 3600.0).isEmpty());
    // Drift not applied: no coverage warning whatever the figures.
    EXPECT_TRUE(reviewWarnings(kHigh, false, 3000.0, 3600.0).isEmpty());
}

TEST(ReviewWarnings, LowConfidenceComesFirstWithItsText) {
    const auto warnings = reviewWarnings(band(ConfidenceBand::low), true, 2880.0, 3600.0);
    ASSERT_EQ(warnings.size(), 2);
    EXPECT_EQ(warnings[0].code(), QStringLiteral("LOW_OFFSET_CONFIDENCE"));
    EXPECT_EQ(warnings[0].message,
              QStringLiteral("No confident alignment was found for this track \u2014 check its "
                             "sync in your DAW."));
    EXPECT_EQ(warnings[1].code(), QStringLiteral("SPARSE_DRIFT_COVERAGE"));
    EXPECT_EQ(warnings[1].message,
              QStringLiteral("Drift was corrected across a 48-minute gap with no reference point "
                             "\u2014 check alignment late in this track."));
}

TEST(ReviewWarnings, CoverageLimitIsTheLargerOf240SecondsAnd66Percent) {
    EXPECT_FALSE(sparse(299.0, 299.9)); // too short to judge, however long the gap
    EXPECT_TRUE(sparse(240.5, 300.0));
    EXPECT_FALSE(sparse(240.0, 300.0));
    EXPECT_FALSE(sparse(396.0, 600.0));
    EXPECT_TRUE(sparse(397.0, 600.0));
}

TEST(ReviewWarnings, GapIsGivenInWholeMinutesWhateverTheLocale) {
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    const auto warnings = reviewWarnings(kHigh, true, 397.0, 600.0);
    QLocale::setDefault(QLocale::c());
    ASSERT_EQ(warnings.size(), 1);
    EXPECT_EQ(warnings[0].message,
              QStringLiteral("Drift was corrected across a 7-minute gap with no reference point "
                             "\u2014 check alignment late in this track."));
    EXPECT_EQ(reviewWarnings(kHigh, true, 100000.0, 120000.0)[0].message,
              QStringLiteral("Drift was corrected across a 1667-minute gap with no reference "
                             "point \u2014 check alignment late in this track."));
}

TEST(ReviewWarnings, UnconfirmedAlignmentNamesWhereToListen) {
    const SyncWarning warning = alignmentNotConfirmedWarning(754.4);
    EXPECT_EQ(warning.code(), QStringLiteral("ALIGNMENT_NOT_CONFIRMED"));
    EXPECT_EQ(warning.message,
              QStringLiteral("The alignment of this track could not be confirmed \u2014 listen "
                             "around 12:34 to check its sync in your DAW."));
    EXPECT_TRUE(alignmentNotConfirmedWarning(3725.0).message.contains(QStringLiteral("1:02:05")));
    EXPECT_TRUE(alignmentNotConfirmedWarning(-3.0).message.contains(QStringLiteral("0:00")));
    EXPECT_TRUE(
        alignmentNotConfirmedWarning(std::nan("")).message.contains(QStringLiteral("0:00")));
    EXPECT_EQ(placementNotConfirmedWarning(3725.0),
              (SyncWarning{WarningKind::placementNotConfirmed,
                           QStringLiteral("This file could not be found with certainty in the "
                                          "reference \u2014 listen around 1:02:05 to check its "
                                          "sync in your DAW.")}));
}

// A track written on the fine stage's clock is anchored by that stage's windows: a gap in the
// coarse drift points alone is no reason to send the producer listening late in the track.
TEST(ReviewWarnings, AFollowedFineClockIsAnchoredByItsOwnWindows) {
    constexpr double kRate = 48000.0;
    ItemAnalysis a;
    a.offset = kHigh;
    a.sampleRate = kRate;
    a.durationSeconds = 10800.0;
    a.drift.driftApplied = true;
    a.drift.points = {{0.0, 0.0}, {2835.0, 0.65}};
    a.drift.alignedDurationSeconds = 10770.0;
    a.drift.longestUnanchoredSpanSeconds = 7935.0;
    FineAlignment fine;
    fine.sampleRate = kRate;
    fine.fit.segments = {{0, 36000.0, 230e-6}};
    fine.fit.usable = fine.fit.confident = true;
    const auto windowsUpTo = [&](double lastSeconds) {
        fine.windows.clear();
        for (double t = 60.0; t <= lastSeconds; t += 120.0)
            fine.windows.push_back({t * kRate, 36000.0 + 230e-6 * t * kRate, 0.8, 5.0});
        return fine;
    };
    a.fine = windowsUpTo(10740.0);
    EXPECT_TRUE(describeResult(a).warnings.isEmpty());
    a.fine = windowsUpTo(2400.0); // the fine windows stop where the coarse points did
    EXPECT_EQ(codes(describeResult(a).warnings), QStringList{"SPARSE_DRIFT_COVERAGE"});
}
