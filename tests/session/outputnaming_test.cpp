// SPDX-License-Identifier: GPL-3.0-or-later
#include "session/audiofileitem.h"
#include "session/outputnaming.h"

#include <QFile>
#include <QTemporaryDir>

#include "support/qtprinters.h"

#include <gtest/gtest.h>

#include <memory>

using namespace corvale;

namespace {

struct Analyses {
    std::vector<std::unique_ptr<AudioFileItem>> items;
    QList<ItemAnalysis> list;

    ItemAnalysis& add(const QString& name, double offset, double duration,
                      ConfidenceBand band = ConfidenceBand::high,
                      StereoAnalysis stereo = StereoAnalysis::monoOrIdentical()) {
        const QUrl url = QUrl::fromLocalFile(QStringLiteral("/rec/") + name);
        items.push_back(std::make_unique<AudioFileItem>(url));
        ItemAnalysis a;
        a.index = qsizetype(items.size());
        a.url = url;
        a.stereo = stereo;
        a.offset.offsetSeconds = offset;
        a.offset.confidenceBand = band;
        a.durationSeconds = duration;
        list.append(a);
        return list.back();
    }
};

QStringList names(const OutputGroup& group) {
    QStringList out;
    for (const ItemAnalysis& a : group)
        out << baseName(a.url);
    return out;
}

} // namespace

TEST(OutputNames, CommonPrefixIgnoresCaseButKeepsTheFirstSpelling) {
    EXPECT_EQ(commonPrefix(QStringLiteral("Ann Part 1"), QStringLiteral("ann part 2")),
              QStringLiteral("Ann Part "));
    EXPECT_EQ(commonPrefix(QStringLiteral("abc"), QStringLiteral("xyz")), QString());
    EXPECT_EQ(commonPrefix(QStringLiteral("ab"), QStringLiteral("abc")), QStringLiteral("ab"));
}

TEST(OutputNames, DropboxCutKeepsTheTextBeforeTheFirstSeparator) {
    const QUrl url = QUrl::fromLocalFile(QStringLiteral("/x/Ann Lee - ep12 - take 2.wav"));
    EXPECT_EQ(dropboxBaseName(url, true), QStringLiteral("Ann Lee"));
    EXPECT_EQ(dropboxBaseName(url, false), QStringLiteral("Ann Lee - ep12 - take 2"));
    EXPECT_EQ(dropboxBaseName(QUrl::fromLocalFile(QStringLiteral("/x/ep12.m4a")), true),
              QStringLiteral("ep12"));
    EXPECT_EQ(baseName(QUrl::fromLocalFile(QStringLiteral("/x/Interview.take2.m4a"))),
              QStringLiteral("Interview.take2"));
}

TEST(OutputNames, MergedNameTrimsSeparatorsDigitsAndPart) {
    Analyses a;
    a.add(QStringLiteral("Ann part 1.m4a"), 0, 10);
    a.add(QStringLiteral("Ann part 2.m4a"), 20, 10);
    EXPECT_EQ(mergedBaseName(a.list, true), QStringLiteral("Ann"));

    Analyses b;
    b.add(QStringLiteral("Zed (1).wav"), 0, 10);
    b.add(QStringLiteral("Zed (2).wav"), 20, 10);
    EXPECT_EQ(mergedBaseName(b.list, true), QStringLiteral("Zed"));

    // A prefix that trims to a single character falls back to the first member's name.
    Analyses c;
    c.add(QStringLiteral("A 1 take.wav"), 0, 10);
    c.add(QStringLiteral("A 2 take.wav"), 20, 10);
    EXPECT_EQ(mergedBaseName(c.list, true), QStringLiteral("A 1 take"));
}

TEST(OutputGroups, ConsecutivePartsOfOneSpeakerMergeInOffsetOrder) {
    Analyses a;
    a.add(QStringLiteral("Ann part 2.m4a"), 1799, 600);
    a.add(QStringLiteral("Bob.m4a"), 0, 2400);
    a.add(QStringLiteral("Ann part 1.m4a"), 0, 1800);
    const QList<OutputGroup> groups = groupAnalyses(a.list);
    ASSERT_EQ(groups.size(), 2);
    EXPECT_EQ(names(groups[0]), (QStringList{"Ann part 1", "Ann part 2"}));
    EXPECT_EQ(names(groups[1]), (QStringList{"Bob"}));
}

TEST(OutputGroups, OverlappingPartsLowConfidenceAndSplitFilesStayAlone) {
    Analyses overlapping;
    overlapping.add(QStringLiteral("Ann part 1.m4a"), 0, 1800);
    overlapping.add(QStringLiteral("Ann part 2.m4a"), 1797, 600); // 3 s before part 1 ends
    EXPECT_EQ(groupAnalyses(overlapping.list).size(), 2);

    Analyses low;
    low.add(QStringLiteral("Ann part 1.m4a"), 0, 100);
    low.add(QStringLiteral("Ann part 2.m4a"), 200, 100, ConfidenceBand::low);
    EXPECT_EQ(groupAnalyses(low.list).size(), 2);

    Analyses split;
    split.add(QStringLiteral("Duo part 1.wav"), 0, 100, ConfidenceBand::high,
              StereoAnalysis::split());
    split.add(QStringLiteral("Duo part 2.wav"), 200, 100);
    EXPECT_EQ(groupAnalyses(split.list).size(), 2);
}

TEST(OutputGroups, PrefixThresholdDependsOnNameLength) {
    Analyses shortNames; // shorter than 12: six shared characters suffice
    shortNames.add(QStringLiteral("Guest1a.wav"), 0, 10);
    shortNames.add(QStringLiteral("Guest1b.wav"), 20, 10);
    EXPECT_EQ(groupAnalyses(shortNames.list).size(), 1);

    Analyses longNames; // 20 and 30 characters: ten shared characters needed
    longNames.add(QStringLiteral("abcdefghi12345678901.wav"), 0, 10);
    longNames.add(QStringLiteral("abcdefghizzzzzzzzzzzzzzzzzzzzz.wav"), 20, 10);
    EXPECT_EQ(groupAnalyses(longNames.list).size(), 2);
    Analyses longEnough;
    longEnough.add(QStringLiteral("abcdefghij1234567890.wav"), 0, 10);
    longEnough.add(QStringLiteral("abcdefghijzzzzzzzzzzzzzzzzzzzz.wav"), 20, 10);
    EXPECT_EQ(groupAnalyses(longEnough.list).size(), 1);
}

TEST(OutputNameReserver, SkipsExistingAndReservedNames) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QFile existing(dir.filePath(QStringLiteral("Ann-synced.wav")));
    ASSERT_TRUE(existing.open(QIODevice::WriteOnly));
    existing.close();

    OutputNameReserver names;
    EXPECT_EQ(names.uniqueOutputURL(dir.path(), "Ann", "").toLocalFile(),
              dir.filePath(QStringLiteral("Ann-2-synced.wav")));
    EXPECT_EQ(names.uniqueOutputURL(dir.path(), "Ann", "").toLocalFile(),
              dir.filePath(QStringLiteral("Ann-3-synced.wav")));
    EXPECT_EQ(names.uniqueOutputURL(dir.path(), "Duo", "-L").toLocalFile(),
              dir.filePath(QStringLiteral("Duo-L-synced.wav")));
    EXPECT_EQ(names.uniqueReferenceCopyURL(dir.path(), "ref").toLocalFile(),
              dir.filePath(QStringLiteral("ref.wav")));
    EXPECT_EQ(names.uniqueReferenceCopyURL(dir.path(), "ref").toLocalFile(),
              dir.filePath(QStringLiteral("ref-2.wav")));
    EXPECT_EQ(names.reserved().size(), 5);
}

TEST(OutputGroups, OnlyFilesNoOtherNameCanJoinOrCollideWithStandAlone) {
    auto urls = [](const QStringList& names) {
        QList<QUrl> out;
        for (const QString& name : names)
            out << QUrl::fromLocalFile(QStringLiteral("/rec/") + name);
        return out;
    };
    // Distinct speakers stand alone; parts of one speaker and a file named like their merged
    // output ("show") wait for the grouping; so do a name and its split file's ("X" / "X-L").
    EXPECT_EQ(standsAlone(urls({"alice.m4a", "Bob.wav", "carol.m4a"}), false),
              (QList<bool>{true, true, true}));
    EXPECT_EQ(standsAlone(urls({"show part1.wav", "show part2.wav", "show.wav", "zed.wav"}), false),
              (QList<bool>{false, false, false, true}));
    EXPECT_EQ(standsAlone(urls({"X.wav", "X-L.wav", "a.wav", "ab.wav"}), false),
              (QList<bool>{false, false, false, false}));
    // Names a folder apart are the same name.
    EXPECT_EQ(
        standsAlone({QUrl::fromLocalFile("/a/mic.wav"), QUrl::fromLocalFile("/b/mic.wav")}, false),
        (QList<bool>{false, false}));
    // Cut for Dropbox, "Al - one" and "Al - two" both become "Al".
    const auto dropbox = urls({"Al - one long take.wav", "Al - two long takes.wav", "Bea.wav"});
    EXPECT_EQ(standsAlone(dropbox, true), (QList<bool>{false, false, true}));
    EXPECT_EQ(standsAlone(urls({" - nameless.wav"}), true), QList<bool>{false});
}
