// SPDX-License-Identifier: GPL-3.0-or-later
#include "launch/appservicesprovider.h"
#include "launch/fakelaunchhost.h"
#include "launch/urlrequests.h"
#include "support/qtprinters.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace corvale;

namespace {

QString touch(const QString& path) {
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::WriteOnly)) << path.toStdString();
    return path;
}

class HandleOpenURLTest : public ::testing::Test {
protected:
    test::FakeLaunchHost m_fake;
};

} // namespace

TEST_F(HandleOpenURLTest, AcceptsOnlyItsOwnUrlNamingAnExistingRegularFile) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString file = touch(dir.filePath(QStringLiteral("Call Recording.m4a")));
    const QString pipe = dir.filePath(QStringLiteral("pipe.wav"));
    ASSERT_EQ(mkfifo(QFile::encodeName(pipe).constData(), 0600), 0);
    const QString encoded = QString::fromLatin1(QUrl::toPercentEncoding(file, "/"));

    const QStringList accepted = {
        QStringLiteral("corvale://ref?path=") + encoded,
        QStringLiteral("corvale://ref?take=2&path=") + encoded,
        QStringLiteral("corvale://ref?path=") + encoded + QStringLiteral("&path=/etc/passwd"),
        QStringLiteral("corvale://ref?path=") + dir.path() + QStringLiteral("/x/..//") +
            QString::fromLatin1(QUrl::toPercentEncoding(QStringLiteral("Call Recording.m4a"))),
    };
    for (const QString& text : accepted) {
        AppServicesProvider provider(m_fake);
        handleOpenURL(QUrl(text), provider);
        EXPECT_EQ(provider.pendingReference(), file) << text.toStdString();
    }
    const QStringList ignored = {
        QStringLiteral("corvale://reference?path=") + encoded,
        QStringLiteral("corvale://?path=") + encoded,
        QStringLiteral("http://ref?path=") + encoded,
        QStringLiteral("corvale://ref?Path=") + encoded,
        QStringLiteral("corvale://ref?path"),
        QStringLiteral("corvale://ref?path="),
        QStringLiteral("corvale://ref"),
        QStringLiteral("corvale://ref?path=Call%20Recording.m4a"),
        QStringLiteral("corvale://ref?path=./Call%20Recording.m4a"),
        QStringLiteral("corvale://ref?path=http://example.com/a.wav"),
        QStringLiteral("corvale://ref?path=concat:") + encoded,
        QStringLiteral("corvale://ref?path=") + dir.path(),
        QStringLiteral("corvale://ref?path=") + pipe,
        QStringLiteral("corvale://ref?path=/dev/zero"),
        QStringLiteral("corvale://ref?path=") + encoded + QStringLiteral(".missing"),
    };
    // From within the file's folder, so that a relative name would find the file if it were
    // resolved against the working directory: it must be refused, not resolved.
    const QString previous = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(dir.path()));
    for (const QString& text : ignored) {
        AppServicesProvider provider(m_fake);
        handleOpenURL(QUrl(text), provider);
        EXPECT_FALSE(provider.pendingReference()) << text.toStdString();
    }
    QDir::setCurrent(previous);
    EXPECT_TRUE(m_fake.calls.isEmpty());
}
