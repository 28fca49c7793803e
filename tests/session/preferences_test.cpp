// SPDX-License-Identifier: GPL-3.0-or-later
#include "session/preferences.h"

#include <QSettings>

#include <gtest/gtest.h>

using namespace corvale;

namespace {

// The store the application reads; the test main points it at a throwaway folder.
class PreferencesTest : public ::testing::Test {
protected:
    PreferencesTest() {
        settings().clear();
        settings().sync();
    }
    ~PreferencesTest() override {
        settings().clear();
        settings().sync();
    }

    static QSettings& settings() {
        static QSettings s(QStringLiteral("Corvale"), QStringLiteral("Corvale"));
        return s;
    }
    // Stores raw text the way a hand-edited or foreign settings file would hold it.
    static void put(const QString& key, const QVariant& value) {
        settings().setValue(key, value);
        settings().sync();
    }
};

} // namespace

TEST_F(PreferencesTest, FreshStoreGivesEveryDefault) {
    EXPECT_TRUE(Preferences::autoPopulateFiles());
    EXPECT_TRUE(Preferences::renameForDropbox());
    EXPECT_TRUE(Preferences::chimeWhenDone());
    EXPECT_EQ(Preferences::completionSound(), QStringLiteral("Glass"));
    EXPECT_FALSE(Preferences::normalizeLoudness());
    EXPECT_EQ(Preferences::targetLUFS(), -16.0);
    EXPECT_FALSE(Preferences::finderLabelEnabled());
    EXPECT_EQ(Preferences::finderLabelNumber(), 2);
}

TEST_F(PreferencesTest, StoredValuesAreReadAtTheMomentOfUse) {
    Preferences::setRenameForDropbox(false);
    EXPECT_FALSE(Preferences::renameForDropbox());
    Preferences::setNormalizeLoudness(true);
    Preferences::setTargetLUFS(-18.5);
    Preferences::setCompletionSound(QStringLiteral("Ping"));
    Preferences::setFinderLabelEnabled(true);
    Preferences::setFinderLabelNumber(6);
    Preferences::setAutoPopulateFiles(false);
    Preferences::setChimeWhenDone(false);
    EXPECT_TRUE(Preferences::normalizeLoudness());
    EXPECT_EQ(Preferences::targetLUFS(), -18.5);
    EXPECT_EQ(Preferences::completionSound(), QStringLiteral("Ping"));
    EXPECT_TRUE(Preferences::finderLabelEnabled());
    EXPECT_EQ(Preferences::finderLabelNumber(), 6);
    EXPECT_FALSE(Preferences::autoPopulateFiles());
    EXPECT_FALSE(Preferences::chimeWhenDone());
    // Another writer of the store (the preferences window) is seen at the next read.
    put(QStringLiteral("targetLUFS"), QStringLiteral("-23"));
    EXPECT_EQ(Preferences::targetLUFS(), -23.0);
}

TEST_F(PreferencesTest, BooleansAreReadStrictly) {
    put(QStringLiteral("renameForDropbox"), QStringLiteral("false"));
    EXPECT_FALSE(Preferences::renameForDropbox());
    put(QStringLiteral("renameForDropbox"), QStringLiteral("0"));
    EXPECT_FALSE(Preferences::renameForDropbox());
    put(QStringLiteral("normalizeLoudness"), QStringLiteral("true"));
    EXPECT_TRUE(Preferences::normalizeLoudness());
    put(QStringLiteral("normalizeLoudness"), 1);
    EXPECT_TRUE(Preferences::normalizeLoudness());
    for (const char* junk : {"yes", "maybe", "", "2", "TRUE "}) {
        put(QStringLiteral("normalizeLoudness"), QString::fromLatin1(junk));
        EXPECT_FALSE(Preferences::normalizeLoudness()) << junk;
        put(QStringLiteral("chimeWhenDone"), QString::fromLatin1(junk));
        EXPECT_TRUE(Preferences::chimeWhenDone()) << junk;
    }
}

TEST_F(PreferencesTest, UnreadableNumbersGiveTheirDefaults) {
    put(QStringLiteral("targetLUFS"), QStringLiteral("loud"));
    EXPECT_EQ(Preferences::targetLUFS(), -16.0);
    put(QStringLiteral("targetLUFS"), QStringLiteral("nan"));
    EXPECT_EQ(Preferences::targetLUFS(), -16.0);
    put(QStringLiteral("targetLUFS"), QStringLiteral("-19.5"));
    EXPECT_EQ(Preferences::targetLUFS(), -19.5);
    put(QStringLiteral("finderLabelNumber"), QStringLiteral("green"));
    EXPECT_EQ(Preferences::finderLabelNumber(), 2);
    put(QStringLiteral("finderLabelNumber"), QStringLiteral("4"));
    EXPECT_EQ(Preferences::finderLabelNumber(), 4);
}

TEST_F(PreferencesTest, LabelNumberOutsideTheTableMeansNoLabel) {
    for (int n : {9, -1, 8, 0}) {
        Preferences::setFinderLabelNumber(n);
        EXPECT_EQ(Preferences::finderLabelNumber(), 0) << n;
    }
    put(QStringLiteral("finderLabelNumber"), QStringLiteral("9"));
    EXPECT_EQ(Preferences::finderLabelNumber(), 0);
    EXPECT_TRUE(Preferences::labelName(Preferences::finderLabelNumber()).isEmpty());
}

TEST(LabelName, FollowsTheColourTable) {
    const QStringList names{QString(),
                            QStringLiteral("Gray"),
                            QStringLiteral("Green"),
                            QStringLiteral("Purple"),
                            QStringLiteral("Blue"),
                            QStringLiteral("Yellow"),
                            QStringLiteral("Red"),
                            QStringLiteral("Orange")};
    for (int n = 0; n < 8; ++n)
        EXPECT_EQ(Preferences::labelName(n), names[n]) << n;
    EXPECT_TRUE(Preferences::labelName(8).isEmpty());
    EXPECT_TRUE(Preferences::labelName(-1).isEmpty());
}

TEST_F(PreferencesTest, OverridesWinWithoutChangingTheStore) {
    Preferences::setNormalizeLoudness(false);
    Preferences::setOverride(QStringLiteral("normalizeLoudness"), true);
    Preferences::setOverride(QStringLiteral("targetLUFS"), -23.0);
    Preferences::setOverride(QStringLiteral("finderLabelNumber"), 12);
    EXPECT_TRUE(Preferences::normalizeLoudness());
    EXPECT_EQ(Preferences::targetLUFS(), -23.0);
    EXPECT_EQ(Preferences::finderLabelNumber(), 0);
    EXPECT_EQ(settings().value(QStringLiteral("normalizeLoudness")).toString(),
              QStringLiteral("false"));
    Preferences::clearOverrides();
    EXPECT_FALSE(Preferences::normalizeLoudness());
    EXPECT_EQ(Preferences::targetLUFS(), -16.0);
}
