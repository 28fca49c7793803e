// SPDX-License-Identifier: GPL-3.0-or-later
#include "launch/urlrequests.h"
#include "referencelink.h"
#include "support/qtprinters.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace corvale;

namespace {

QString touch(const QString& path) {
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::WriteOnly)) << path.toStdString();
    return path;
}

} // namespace

TEST(ReferenceLinkTest, AnyPathComesBackUnchangedFromTheExtensionsUrl) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    // x%41y must not turn into xAy, nor %2F..%2Fetc into /etc.
    touch(dir.filePath(QStringLiteral("xAy.wav")));
    const QStringList names = {QStringLiteral("Call Recording.m4a"),
                               QStringLiteral("take #2.wav"),
                               QStringLiteral("100% & more=yes?.wav"),
                               QStringLiteral("a+b c.wav"),
                               QStringLiteral("Zoë – Ångström 録音.flac"),
                               QStringLiteral("x%41y.wav"),
                               QStringLiteral("%2F..%2Fetc.wav"),
                               QStringLiteral("semi;colon, 'quote' \"dq\".wav")};
    for (const QString& name : names) {
        const QString path = touch(dir.filePath(name));
        const QUrl url = ReferenceLink::forPath(path);
        // What xdg-open passes on as the argument of `corvale %U`.
        const QUrl received(url.toString(QUrl::FullyEncoded));
        EXPECT_EQ(referencePathFromURL(received), path) << url.toString().toStdString();
    }
    EXPECT_EQ(ReferenceLink::forPath(QStringLiteral("/Users/ana/Call Recording.m4a"))
                  .toString(QUrl::FullyEncoded),
              QStringLiteral("corvale://ref?path=/Users/ana/Call%20Recording.m4a"));
}

TEST(ReferenceLinkTest, OnlyTheFirstSelectedLocalItemIsTakenAndMadeAbsolute) {
    const QString cwd = QStringLiteral("/home/ana/Podcast");
    using Args = QList<QByteArray>;
    EXPECT_EQ(ReferenceLink::firstSelectedPath(Args{"call.wav", "b.wav", "c.wav"}, cwd),
              QStringLiteral("/home/ana/Podcast/call.wav"));
    EXPECT_EQ(ReferenceLink::firstSelectedPath(Args{"/a/../b/x.wav"}, cwd),
              QStringLiteral("/b/x.wav"));
    // Arguments are paths: a name that reads like a URL is a name in this folder.
    EXPECT_EQ(ReferenceLink::firstSelectedPath(Args{"file:%2E%2E%2Fsecret.wav"}, cwd),
              QStringLiteral("/home/ana/Podcast/file:%2E%2E%2Fsecret.wav"));
    EXPECT_EQ(ReferenceLink::firstSelectedPath(Args{"file:///a/b.wav"}, cwd),
              QStringLiteral("/home/ana/Podcast/file:/a/b.wav"));
    EXPECT_FALSE(ReferenceLink::firstSelectedPath(Args{}, cwd));
    EXPECT_FALSE(ReferenceLink::firstSelectedPath(Args{""}, cwd));
    // Not valid UTF-8: it could not be named again on the receiving side.
    EXPECT_FALSE(ReferenceLink::firstSelectedPath(Args{QByteArray("/a/\xff\xfe.wav")}, cwd));
}

TEST(ReferenceLinkTest, AfterTheUrisOptionOnlyLocalFileUrisAreTaken) {
    const QString cwd = QStringLiteral("/home/ana/Podcast");
    auto first = [&](const QByteArray& uri) {
        return ReferenceLink::firstSelectedPath({ReferenceLink::urisOption, uri, "file:///b.wav"},
                                                cwd);
    };
    EXPECT_EQ(first("file:///a/Call%20Recording%2541.m4a"),
              QStringLiteral("/a/Call Recording%41.m4a"));
    EXPECT_EQ(first("file://localhost/a/b.wav"), QStringLiteral("/a/b.wav"));
    EXPECT_EQ(first("file:///a/Zo%C3%AB.wav"), QStringLiteral("/a/Zoë.wav"));
    EXPECT_FALSE(first("smb://server/share/a.wav"));
    EXPECT_FALSE(first("file://otherhost/a.wav"));
    EXPECT_FALSE(first("/a/b.wav"));
    EXPECT_FALSE(first("b.wav"));
    EXPECT_FALSE(ReferenceLink::firstSelectedPath({ReferenceLink::urisOption}, cwd));
}

TEST(ReferenceLinkTest, ANameThatIsNotUtf8IsRefusedWithAReason) {
    using Args = QList<QByteArray>;
    const Args path{QByteArray("/a/caf\xe9.wav")};
    const Args uri{ReferenceLink::urisOption, "file:///a/caf%E9.wav"};
    EXPECT_FALSE(ReferenceLink::firstSelectedPath(uri, QStringLiteral("/")));
    for (const Args& args : {path, uri}) {
        const auto why = ReferenceLink::refusal(args);
        ASSERT_TRUE(why);
        EXPECT_TRUE(why->contains(QStringLiteral("not valid UTF-8"))) << why->toStdString();
    }
    EXPECT_FALSE(ReferenceLink::refusal({"/a/Zoë.wav"}));
    EXPECT_FALSE(ReferenceLink::refusal({ReferenceLink::urisOption, "file:///a/Zo%C3%AB.wav"}));
}
