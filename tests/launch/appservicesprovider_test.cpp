// SPDX-License-Identifier: GPL-3.0-or-later
#include "fakelaunchhost.h"
#include "launch/appservicesprovider.h"
#include "session/sessionfixture.h"

using namespace corvale;
using namespace corvale::test;

namespace {

class AppServicesProviderTest : public SessionFixture {
protected:
    void SetUp() override {
        SessionFixture::SetUp();
        m_reference = referenceMix();
        m_track = writeMono(QStringLiteral("Ann.wav"), take(0, 3.0, 60.0));
        m_fake.windows = {true, true};
    }
    // The panel answers with these files.
    void answer(const QStringList& files) {
        m_fake.panelAnswer = [files] {
            QList<QUrl> urls;
            for (const QString& file : files)
                urls << QUrl::fromLocalFile(file);
            return urls;
        };
    }
    AppServicesProvider& provider() {
        m_provider.setViewModel(&session());
        return m_provider;
    }
    bool waitForHeadlessEnd() {
        return waitUntil([&] { return !session().headlessMode() && !m_fake.floaterShown; }, 120000);
    }

    FakeLaunchHost m_fake;
    AppServicesProvider m_provider{m_fake};
    QString m_reference;
    QString m_track;
};

} // namespace

TEST_F(AppServicesProviderTest, RequestsBeforeTheSessionAreParkedAndOnlyTheNewestRuns) {
    m_provider.handleReference(m_track);
    m_provider.handleReference(m_reference);
    m_provider.handleReference(QStringLiteral("relative/name.wav"));
    EXPECT_EQ(m_provider.pendingReference(), m_reference);
    EXPECT_TRUE(m_fake.calls.isEmpty());

    provider().processPendingReference();
    EXPECT_EQ(m_fake.panelMessages,
              QStringList{QStringLiteral("Choose files to sync to \"ref.wav\"")});
    EXPECT_EQ(m_fake.panelFolders, QStringList{m_dir.path()});
    EXPECT_FALSE(m_provider.pendingReference());
    m_provider.processPendingReference();
    EXPECT_EQ(m_fake.panelMessages.size(), 1);
}

TEST_F(AppServicesProviderTest, CancelLeavesTheSessionAloneAndQuitsOnlyWhenNothingWasThere) {
    // No window on screen and an empty session: quitting loses nothing.
    m_fake.windows = {false, false};
    provider().handleReference(m_reference);
    EXPECT_EQ(m_fake.calls, (QStringList{QStringLiteral("hideAll"), QStringLiteral("panel"),
                                         QStringLiteral("quit")}));
    EXPECT_TRUE(session().referenceFile().isEmpty());

    // A visible window comes back.
    m_fake.calls.clear();
    m_fake.windows = {true, true};
    m_provider.handleReference(m_reference);
    EXPECT_EQ(m_fake.calls.last(), QStringLiteral("showMain"));
    EXPECT_EQ(m_fake.quits, 1);

    // No window on screen but the session holds the user's files: show them, never quit.
    choose(m_track, {m_reference});
    m_fake.calls.clear();
    m_fake.windows = {false, true};
    m_provider.handleReference(m_reference);
    EXPECT_EQ(m_fake.calls.last(), QStringLiteral("showMain"));
    EXPECT_EQ(m_fake.quits, 1);
    EXPECT_EQ(session().referenceFile(), QUrl::fromLocalFile(m_track));
}

TEST_F(AppServicesProviderTest, RefusedStartEndsVisiblyWithoutHidingAnything) {
    // Only the reference chosen: nothing to sync.
    m_fake.windows = {false, false};
    answer({m_reference});
    provider().handleReference(m_reference);
    ASSERT_EQ(m_fake.messages.size(), 1);
    EXPECT_TRUE(m_fake.messages[0].endsWith(QStringLiteral("Add at least one file to sync.")));
    EXPECT_FALSE(m_fake.calls.contains(QStringLiteral("transparent")));
    EXPECT_FALSE(m_fake.calls.contains(QStringLiteral("floater")));
    EXPECT_EQ(m_fake.calls.last(), QStringLiteral("quit"));
    EXPECT_FALSE(session().headlessMode());

    // No ffmpeg: the reason is shown and the window comes back.
    AppViewModel noTool(std::nullopt, &m_host);
    AppServicesProvider other(m_fake);
    other.setViewModel(&noTool);
    m_fake.calls.clear();
    m_fake.windows = {true, true};
    answer({m_track});
    other.handleReference(m_reference);
    ASSERT_EQ(m_fake.messages.size(), 2);
    EXPECT_TRUE(m_fake.messages[1].contains(QStringLiteral("sudo apt install ffmpeg")));
    EXPECT_EQ(m_fake.calls.last(), QStringLiteral("showMain"));
    EXPECT_FALSE(noTool.headlessMode());
}

TEST_F(AppServicesProviderTest, HeadlessRunFromAVisibleWindowComesBackAndIgnoresLaterRequests) {
    answer({m_track});
    provider().handleReference(m_reference);
    EXPECT_TRUE(session().headlessMode());
    EXPECT_TRUE(m_fake.transparent);
    EXPECT_TRUE(m_fake.floaterShown);
    ASSERT_TRUE(session().runUnderWay());
    EXPECT_EQ(session().referenceFile(), QUrl::fromLocalFile(m_reference));

    // A stranger's request during the run must not take its reference or files.
    const QString other = writeMono(QStringLiteral("Other.wav"), take(1, 0.0, 10.0));
    m_provider.handleReference(other);
    EXPECT_EQ(m_fake.panelMessages.size(), 1);
    EXPECT_EQ(m_fake.calls.last(), QStringLiteral("raiseFloater"));
    // ...and is not dropped without a word.
    EXPECT_EQ(m_fake.notices,
              QStringList{"“Other.wav” was not opened: Corvale is busy with another sync."});
    EXPECT_EQ(session().referenceFile(), QUrl::fromLocalFile(m_reference));
    ASSERT_EQ(session().individualFiles().size(), 1);

    ASSERT_TRUE(waitForHeadlessEnd());
    EXPECT_TRUE(item(0).status().is(ProcessingStatus::Kind::complete));
    EXPECT_FALSE(m_fake.transparent);
    EXPECT_EQ(m_fake.calls.last(), QStringLiteral("showMain"));
    EXPECT_EQ(m_fake.quits, 0);
}

TEST_F(AppServicesProviderTest, HeadlessRunWithNoWindowQuitsOnlyWhenNothingNeedsALook) {
    m_fake.windows = {false, false};
    answer({m_track});
    provider().handleReference(m_reference);
    ASSERT_TRUE(waitForHeadlessEnd());
    EXPECT_EQ(m_fake.calls.last(), QStringLiteral("quit"));

    // A file that fails keeps the window on screen instead.
    QFile broken(path(QStringLiteral("broken.wav")));
    ASSERT_TRUE(broken.open(QIODevice::WriteOnly));
    broken.write("not audio");
    broken.close();
    answer({m_track, broken.fileName()});
    m_fake.calls.clear();
    m_provider.handleReference(m_reference);
    ASSERT_TRUE(waitForHeadlessEnd());
    EXPECT_TRUE(item(1).status().is(ProcessingStatus::Kind::failed));
    EXPECT_EQ(m_fake.calls.last(), QStringLiteral("showMain"));
    EXPECT_EQ(m_fake.quits, 1);
    EXPECT_FALSE(m_fake.transparent);
}
