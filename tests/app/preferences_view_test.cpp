// SPDX-License-Identifier: GPL-3.0-or-later
// The settings window: defaults on a fresh store, each control writing its key at once, and
// stored values the window does not offer.
#include "appfixture.h"

#include "aboutdialog.h"
#include "labelcolorpicker.h"
#include "preferencesview.h"
#include "soundbank.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QSettings>

namespace corvale::test {
namespace {

class PreferencesViewTest : public AppFixture {
protected:
    void SetUp() override {
        AppFixture::SetUp();
        Preferences::clearOverrides(); // the window shows the store itself
        store().clear();
    }
    static QSettings& store() {
        static QSettings settings(QStringLiteral("Corvale"), QStringLiteral("Corvale"));
        settings.sync();
        return settings;
    }
    static QVariant stored(const char* key) {
        store().sync();
        return store().value(QString::fromLatin1(key));
    }
};

TEST_F(PreferencesViewTest, FreshStoreShowsTheDefaults) {
    PreferencesView view(&m_host);
    view.show();
    EXPECT_EQ(view.sectionTitles(),
              QStringList({"Files", "Loudness", "Color Label", "When sync completes"}));
    EXPECT_TRUE(view.autoPopulateToggle()->isChecked());
    EXPECT_TRUE(view.dropboxToggle()->isChecked());
    EXPECT_TRUE(view.preciseToggle()->isChecked());
    EXPECT_FALSE(view.normalizeToggle()->isChecked());
    EXPECT_FALSE(view.targetPicker()->isVisible());
    EXPECT_FALSE(view.labelToggle()->isChecked());
    EXPECT_FALSE(view.labelPicker()->isVisible());
    EXPECT_TRUE(view.chimeToggle()->isChecked());
    EXPECT_TRUE(view.soundPicker()->isVisible());
    EXPECT_EQ(view.soundPicker()->currentText(), "Glass");
    EXPECT_EQ(view.soundPicker()->count(), 14);
    EXPECT_EQ(view.width(), 400);
    EXPECT_TRUE(store().allKeys().isEmpty()) << "showing the window writes nothing";
}

TEST_F(PreferencesViewTest, EveryControlWritesItsKeyAtOnce) {
    PreferencesView view(&m_host);
    view.show();
    view.autoPopulateToggle()->click();
    EXPECT_EQ(stored("autoPopulateFiles").toBool(), false);
    view.dropboxToggle()->click();
    EXPECT_EQ(stored("renameForDropbox").toBool(), false);
    view.preciseToggle()->click();
    EXPECT_EQ(stored("preciseAlignment").toBool(), false);

    view.normalizeToggle()->click();
    EXPECT_EQ(stored("normalizeLoudness").toBool(), true);
    ASSERT_TRUE(view.targetPicker()->isVisible());
    EXPECT_EQ(view.targetPicker()->currentText(), "-16 LUFS (Apple Podcasts)");
    QStringList targets;
    for (int i = 0; i < view.targetPicker()->count(); ++i)
        targets << view.targetPicker()->itemText(i);
    EXPECT_EQ(targets, QStringList({"-16 LUFS (Apple Podcasts)", "-19 LUFS (Mono podcasts)",
                                    "-23 LUFS (EBU R128)"}));
    view.targetPicker()->setCurrentIndex(2);
    emit view.targetPicker()->activated(2);
    EXPECT_EQ(stored("targetLUFS").toDouble(), -23.0);
    // Hiding a dependent control keeps its value.
    view.normalizeToggle()->click();
    EXPECT_FALSE(view.targetPicker()->isVisible());
    EXPECT_EQ(Preferences::targetLUFS(), -23.0);

    view.labelToggle()->click();
    EXPECT_EQ(stored("finderLabelEnabled").toBool(), true);
    LabelColorPicker* picker = view.labelPicker();
    ASSERT_TRUE(picker->isVisible());
    EXPECT_EQ(picker->checkedNumber(), 2);
    EXPECT_EQ(picker->caption(), "Green");
    QList<int> order;
    for (QAbstractButton* swatch : picker->swatches())
        order << LabelColorPicker::kLabelNames.indexOf(swatch->toolTip());
    EXPECT_EQ(order, QList<int>({6, 7, 5, 2, 4, 3, 1}));
    picker->swatches().constFirst()->click();
    EXPECT_EQ(stored("finderLabelNumber").toInt(), 6);
    EXPECT_EQ(picker->caption(), "Red");
    picker->swatches().constFirst()->click();
    EXPECT_EQ(picker->checkedNumber(), 6) << "a second click keeps the choice";

    view.soundPicker()->setCurrentIndex(view.soundPicker()->findText(QStringLiteral("Tink")));
    emit view.soundPicker()->activated(view.soundPicker()->currentIndex());
    EXPECT_EQ(stored("completionSound").toString(), "Tink");
    view.previewButton()->click();
    EXPECT_EQ(m_host.sounds, QStringList({"Tink"}));
    view.chimeToggle()->click();
    EXPECT_EQ(stored("chimeWhenDone").toBool(), false);
    EXPECT_FALSE(view.soundPicker()->isVisible());

    // A window built afterwards shows what was written.
    PreferencesView again(&m_host);
    EXPECT_FALSE(again.autoPopulateToggle()->isChecked());
    EXPECT_EQ(again.labelPicker()->selected(), 6);
    EXPECT_FALSE(again.chimeToggle()->isChecked());
}

TEST_F(PreferencesViewTest, ValuesTheWindowDoesNotOfferShowNoChoice) {
    store().setValue(QStringLiteral("targetLUFS"), -14.0);
    store().setValue(QStringLiteral("completionSound"), QStringLiteral("Trumpet"));
    store().setValue(QStringLiteral("finderLabelNumber"), 9);
    store().setValue(QStringLiteral("normalizeLoudness"), true);
    store().setValue(QStringLiteral("finderLabelEnabled"), true);
    store().sync();
    PreferencesView view(&m_host);
    view.show();
    EXPECT_EQ(view.targetPicker()->currentIndex(), -1);
    EXPECT_EQ(view.soundPicker()->currentIndex(), -1);
    EXPECT_EQ(view.labelPicker()->checkedNumber(), -1);
    EXPECT_EQ(view.labelPicker()->caption(), "");
    EXPECT_EQ(stored("targetLUFS").toDouble(), -14.0) << "left as it was";
}

TEST(SoundBank, EveryListedSoundIsSuppliedAndUnknownOnesAreSilent) {
    SoundBank bank;
    for (const QString& name : Preferences::kCompletionSounds) {
        const std::vector<float> samples = SoundBank::synthesize(name);
        ASSERT_GT(samples.size(), 4410u) << name.toStdString();
        const auto peak = std::max_element(samples.begin(), samples.end(), [](float a, float b) {
            return std::abs(a) < std::abs(b);
        });
        EXPECT_GT(std::abs(*peak), 0.05f) << name.toStdString();
        EXPECT_LE(std::abs(*peak), 0.99f) << name.toStdString();
        const WavContents wav = readWav(bank.fileFor(name));
        EXPECT_TRUE(wav.ok && wav.channels == 1) << name.toStdString();
    }
    EXPECT_TRUE(SoundBank::synthesize(QStringLiteral("Trumpet")).empty());
    EXPECT_TRUE(bank.fileFor(QStringLiteral("Trumpet")).isEmpty());
    // No sound device in the test environment: playing must simply do nothing.
    bank.play(QStringLiteral("Glass"));
    bank.play(QStringLiteral("Trumpet"));
}

TEST(AboutDialog, CreditsNameTheAuthorAndWhatCorvaleReallyUses) {
    const QString withMail =
        AboutDialog::creditsHtml(QStringLiteral("A & B"), QStringLiteral("team@example.org"));
    EXPECT_TRUE(withMail.contains(QStringLiteral("A &amp; B")));
    EXPECT_TRUE(withMail.contains(QStringLiteral("href=\"mailto:team@example.org\"")));
    EXPECT_TRUE(withMail.contains(QStringLiteral("links no FFmpeg library")));
    EXPECT_FALSE(withMail.contains(QStringLiteral("uses libraries from the FFmpeg")));
    for (const char* part : {"Qt (LGPL-3.0)", "libsndfile (LGPL-2.1+)", "libsoxr (LGPL-2.1+)",
                             "libebur128 (MIT)", "version 3 or later"})
        EXPECT_TRUE(withMail.contains(QString::fromUtf8(part))) << part;
    EXPECT_TRUE(withMail.contains(QStringLiteral("href=\"https://ffmpeg.org\"")));
    EXPECT_FALSE(
        AboutDialog::creditsHtml(QStringLiteral("X"), {}).contains(QStringLiteral("mailto")));
}

} // namespace
} // namespace corvale::test
