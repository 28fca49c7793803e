// SPDX-License-Identifier: GPL-3.0-or-later
#include "session/audiofileitem.h"
#include "session/processingstatus.h"

#include "support/qtprinters.h"

#include <gtest/gtest.h>

using namespace corvale;

namespace {

SyncResult resultAt(double offset) {
    SyncResult r;
    r.offsetSeconds = offset;
    r.outputURL = QUrl::fromLocalFile(QStringLiteral("/out/a-synced.wav"));
    return r;
}

QString completeText(const SyncResult& r) {
    return statusText(ProcessingStatus::complete(r));
}

} // namespace

TEST(StatusText, DescribesEveryState) {
    EXPECT_EQ(statusText(ProcessingStatus::waiting()), QStringLiteral("Waiting"));
    EXPECT_EQ(statusText(ProcessingStatus::converting()), QStringLiteral("Converting…"));
    EXPECT_EQ(statusText(ProcessingStatus::analyzing()), QStringLiteral("Analyzing…"));
    EXPECT_EQ(statusText(ProcessingStatus::processing()), QStringLiteral("Processing…"));
    EXPECT_EQ(statusText(ProcessingStatus::normalizing()), QStringLiteral("Normalizing loudness…"));
    EXPECT_EQ(statusText(ProcessingStatus::failed(QStringLiteral("boom"))),
              QStringLiteral("Error: boom"));
}

TEST(StatusText, OffsetsNearZeroReadAsInSyncAndOthersLateOrEarly) {
    EXPECT_EQ(completeText(resultAt(0.09)), QStringLiteral("Done — nearly in sync"));
    EXPECT_EQ(completeText(resultAt(-0.09)), QStringLiteral("Done — nearly in sync"));
    EXPECT_EQ(completeText(resultAt(0.1)), QStringLiteral("Done — 0.10s late"));
    EXPECT_EQ(completeText(resultAt(-0.1)), QStringLiteral("Done — 0.10s early"));
}

TEST(StatusText, SuffixesComeInFixedOrder) {
    SyncResult r = resultAt(2.5);
    r.outputURLRight = QUrl::fromLocalFile(QStringLiteral("/out/a-R-synced.wav"));
    r.mergedPartCount = 3;
    r.normalizedLUFS = -16.0;
    EXPECT_EQ(completeText(r),
              QStringLiteral(
                  "Done — 2.50s late · L/R split · merged (3 parts) · Normalized to -16 LUFS"));
}

TEST(FormatOffset, TwoDecimalsBelowAMinuteThenClockForms) {
    EXPECT_EQ(formatOffset(59.996), QStringLiteral("60.00s"));
    EXPECT_EQ(formatOffset(60.0), QStringLiteral("1:00"));
    EXPECT_EQ(formatOffset(3599.4), QStringLiteral("59:59"));
    EXPECT_EQ(formatOffset(3599.5), QStringLiteral("1:00:00"));
    EXPECT_EQ(formatOffset(3725.0), QStringLiteral("1:02:05"));
}

TEST(ConfidenceBandText, AcceptsOnlyExactRawValues) {
    EXPECT_EQ(confidenceBandFromRaw("medium"), ConfidenceBand::medium);
    EXPECT_EQ(rawValue(ConfidenceBand::high), "high");
    EXPECT_FALSE(confidenceBandFromRaw("High").has_value());
    EXPECT_FALSE(confidenceBandFromRaw("").has_value());
}

TEST(ProcessingStatusEquality, ComparesPayloads) {
    EXPECT_EQ(ProcessingStatus::failed("a"), ProcessingStatus::failed("a"));
    EXPECT_NE(ProcessingStatus::failed("a"), ProcessingStatus::failed("b"));
    EXPECT_NE(ProcessingStatus::complete(resultAt(1.0)), ProcessingStatus::complete(resultAt(2.0)));
    SyncResult withWarning = resultAt(1.0);
    withWarning.warnings.append({WarningKind::lowOffsetConfidence, QStringLiteral("x")});
    EXPECT_NE(ProcessingStatus::complete(resultAt(1.0)), ProcessingStatus::complete(withWarning));
}

TEST(AudioFileItem, NotifiesOnlyOnRealChange) {
    AudioFileItem item(QUrl::fromLocalFile(QStringLiteral("/a/b.wav")));
    int statusChanges = 0;
    int urlChanges = 0;
    QObject::connect(&item, &AudioFileItem::statusChanged, [&] { ++statusChanges; });
    QObject::connect(&item, &AudioFileItem::urlChanged, [&] { ++urlChanges; });
    EXPECT_TRUE(item.status().is(ProcessingStatus::Kind::waiting));
    item.setStatus(ProcessingStatus::failed("x"));
    item.setStatus(ProcessingStatus::failed("x"));
    EXPECT_EQ(statusChanges, 1);
    item.setStatus(ProcessingStatus::failed("y"));
    EXPECT_EQ(statusChanges, 2);
    item.setUrl(QUrl::fromLocalFile(QStringLiteral("/a/b.wav")));
    EXPECT_EQ(urlChanges, 0);
    AudioFileItem other(item.url());
    EXPECT_NE(item.id(), other.id());
}
