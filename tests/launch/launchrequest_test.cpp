// SPDX-License-Identifier: GPL-3.0-or-later
#include "launch/launchrequest.h"
#include "launch/singleinstance.h"
#include "support/qtprinters.h"
#include "support/testenv.h"

#include <QFile>
#include <QFileInfo>
#include <QLocalSocket>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

using namespace corvale;
using namespace corvale::test;

TEST(LaunchRequestTest, ArgumentsAreReadAsReopenUrlsOrOneLocalFile) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString a = dir.filePath(QStringLiteral("a b.wav"));
    const QString b = dir.filePath(QStringLiteral("b.wav"));
    for (const QString& file : {a, b}) {
        QFile f(file);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    }
    EXPECT_EQ(LaunchRequest::fromArguments({}).kind(), LaunchRequest::Kind::reopen);

    const LaunchRequest urls = LaunchRequest::fromArguments(
        {QStringLiteral("corvale://ref?path=/x.wav"), QStringLiteral("corvale://ref?path=/y")});
    EXPECT_EQ(urls.kind(), LaunchRequest::Kind::urls);
    EXPECT_EQ(urls.urls().size(), 2);

    // "Open With": the first file counts, as a path or a file: URL.
    const QStringList relative = LaunchRequest::absoluteArguments(
        {QStringLiteral("a b.wav"), QStringLiteral("b.wav")}, dir.path());
    EXPECT_EQ(relative, (QStringList{a, b}));
    const LaunchRequest files = LaunchRequest::fromArguments(relative);
    EXPECT_EQ(files.kind(), LaunchRequest::Kind::file);
    EXPECT_EQ(files.file(), a);
    EXPECT_EQ(LaunchRequest::fromArguments({QUrl::fromLocalFile(b).toString()}).file(), b);

    // Arguments that are not local regular files are skipped, and named; the first regular
    // file still counts.
    const QStringList strangers = {QStringLiteral("http://example.com/a.wav"),
                                   QStringLiteral("relative.wav"),
                                   dir.path(),
                                   QStringLiteral("/dev/null"),
                                   a + QStringLiteral(".missing"),
                                   QStringLiteral("corvale://ref?path=") + a,
                                   dir.filePath(QStringLiteral("two\nlines.wav"))};
    const LaunchRequest mixed = LaunchRequest::fromArguments(QStringList{strangers.first(), b} +
                                                             strangers.mid(1) + QStringList{a});
    EXPECT_EQ(mixed.kind(), LaunchRequest::Kind::file);
    EXPECT_EQ(mixed.file(), b);
    EXPECT_EQ(mixed.skipped(), strangers);
    EXPECT_TRUE(mixed.skippedNotice().startsWith(
        QStringLiteral("Skipped, not a regular file: “http://example.com/a.wav”, “relative.wav”")));
    EXPECT_TRUE(mixed.skippedNotice().contains(QStringLiteral("“two↵lines.wav”")));
    EXPECT_FALSE(mixed.skippedNotice().contains(QLatin1Char('\n')));
    const auto undecodable =
        LaunchRequest::fromArguments({QFile::decodeName(QByteArray("/tmp/caf\xe9.wav"))});
    EXPECT_TRUE(
        undecodable.skippedNotice().endsWith(QStringLiteral("(its name is not valid UTF-8)")))
        << undecodable.skippedNotice().toStdString();
    const LaunchRequest none = LaunchRequest::fromArguments({QStringLiteral("/dev/null")});
    EXPECT_EQ(none.kind(), LaunchRequest::Kind::ignored);
    EXPECT_EQ(none.skippedNotice(), QStringLiteral("Skipped, not a regular file: “null”"));
}

TEST(SingleInstanceTest, LaterStartHandsItsArgumentsToTheRunningInstanceOnly) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString socket = dir.filePath(QStringLiteral("corvale.socket"));
    // A socket file left by a crash does not stop a new instance.
    SingleInstance crashed(socket);
    {
        QFile leftover(socket);
        ASSERT_TRUE(leftover.open(QIODevice::WriteOnly));
    }
    EXPECT_FALSE(crashed.forwardToRunningInstance({}, 500));

    SingleInstance running(socket);
    ASSERT_TRUE(running.listen());
    const QFile::Permissions access = QFileInfo(socket).permissions();
    EXPECT_FALSE(access &
                 (QFile::ReadGroup | QFile::WriteGroup | QFile::ReadOther | QFile::WriteOther));
    QSignalSpy received(&running, &SingleInstance::argumentsReceived);
    // A start that lost the race to listen leaves the winner's socket alone.
    SingleInstance rival(socket);
    EXPECT_FALSE(rival.listen());

    const QStringList arguments = {QStringLiteral("/a/Zoë's #1 & 2.wav"),
                                   QStringLiteral("corvale://ref?path=/b%20c.wav")};
    bool forwarded = false;
    QThread* later = QThread::create([&] {
        SingleInstance second(socket);
        forwarded = second.forwardToRunningInstance(arguments);
    });
    later->start();
    ASSERT_TRUE(waitUntil([&] { return later->isFinished(); }, 10000));
    delete later;
    EXPECT_TRUE(forwarded);
    ASSERT_EQ(received.size(), 1);
    EXPECT_EQ(received[0][0].toStringList(), arguments);

    // A selection too large for one message still hands over its first file.
    QStringList many;
    for (int i = 0; i < 2000; ++i)
        many << QStringLiteral("/podcast/episode 12/a rather long participant file name %1.wav")
                    .arg(i);
    QThread* large = QThread::create([&] {
        SingleInstance second(socket);
        forwarded = second.forwardToRunningInstance(many);
    });
    large->start();
    ASSERT_TRUE(waitUntil([&] { return large->isFinished(); }, 10000));
    delete large;
    ASSERT_TRUE(waitUntil([&] { return received.size() == 2; }, 5000));
    EXPECT_EQ(received[1][0].toStringList().value(0), many.front());

    // A message over the bound is refused unread.
    QLocalSocket flood;
    flood.connectToServer(socket);
    ASSERT_TRUE(flood.waitForConnected(1000));
    QByteArray header;
    QDataStream(&header, QIODevice::WriteOnly) << quint32(SingleInstance::maxMessageBytes + 1);
    flood.write(header + QByteArray(4096, 'x'));
    flood.flush();
    EXPECT_TRUE(waitUntil([&] { return flood.state() == QLocalSocket::UnconnectedState; }, 5000));
    EXPECT_EQ(received.size(), 2);
}

TEST(SingleInstanceTest, MessageBodiesAreReadOnlyWhenWholeAndPlausible) {
    const QStringList arguments = {QStringLiteral("/a/Zoë.wav"), QString(), QStringLiteral("b")};
    const QByteArray body = SingleInstance::encodeMessage(arguments).mid(4);
    EXPECT_EQ(SingleInstance::decodeMessageBody(body), arguments);
    EXPECT_EQ(SingleInstance::decodeMessageBody(body + '\0'), std::nullopt);
    EXPECT_EQ(SingleInstance::decodeMessageBody(body.chopped(1)), std::nullopt);

    // Twelve bytes claiming 128 million entries get no room for them: Qt's own list reading
    // asked for 3 GB of address space first.
    const auto peakKiB = [] {
        QFile status(QStringLiteral("/proc/self/status"));
        EXPECT_TRUE(status.open(QIODevice::ReadOnly));
        const QByteArray text = status.readAll();
        const qsizetype at = text.indexOf("VmPeak:");
        return text.mid(at + 7, text.indexOf('\n', at) - at - 7)
            .trimmed()
            .split(' ')[0]
            .toLongLong();
    };
    QByteArray claim;
    QDataStream(&claim, QIODevice::WriteOnly) << quint32(1 << 27) << quint32(0) << quint32(0);
    const qint64 before = peakKiB();
    EXPECT_EQ(SingleInstance::decodeMessageBody(claim), std::nullopt);
    EXPECT_LT(peakKiB() - before, 256 * 1024);
}
