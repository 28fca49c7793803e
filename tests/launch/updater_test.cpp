// SPDX-License-Identifier: GPL-3.0-or-later
#include "launch/updater.h"
#include "support/qtprinters.h"
#include "support/testenv.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>

#include <gtest/gtest.h>

using namespace corvale;
using namespace corvale::test;
using Outcome = UpdateCheckResult::Outcome;

namespace {

// Serves one fixed HTTP response on 127.0.0.1 to every request.
class FeedServer {
public:
    FeedServer() {
        EXPECT_TRUE(m_server.listen(QHostAddress::LocalHost));
        QObject::connect(&m_server, &QTcpServer::newConnection, [this] {
            while (QTcpSocket* socket = m_server.nextPendingConnection()) {
                ++requests;
                QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
                    if (!socket->readAll().contains("\r\n\r\n"))
                        return;
                    socket->write("HTTP/1.1 " + status +
                                  "\r\nContent-Type: application/json\r\n"
                                  "Connection: close\r\nContent-Length: " +
                                  QByteArray::number(body.size()) + "\r\n\r\n" + body);
                    socket->disconnectFromHost();
                });
                QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            }
        });
    }
    QUrl url() const {
        return QUrl(QStringLiteral("http://127.0.0.1:%1/feed.json").arg(m_server.serverPort()));
    }

    QByteArray status = "200 OK";
    QByteArray body;
    int requests = 0;

private:
    QTcpServer m_server;
};

UpdateCheckResult check(Updater& updater) {
    QSignalSpy finished(&updater, &Updater::checkFinished);
    updater.checkForUpdates();
    EXPECT_TRUE(waitUntil([&] { return !finished.isEmpty(); }, 20000));
    return finished.isEmpty() ? UpdateCheckResult{}
                              : finished[0][0].value<corvale::UpdateCheckResult>();
}

} // namespace

TEST(UpdaterTest, VersionsCompareAsNumbers) {
    EXPECT_TRUE(Updater::isNewerVersion(QStringLiteral("1.10"), QStringLiteral("1.9")));
    EXPECT_TRUE(Updater::isNewerVersion(QStringLiteral("0.2.0"), QStringLiteral("0.1.9")));
    EXPECT_FALSE(Updater::isNewerVersion(QStringLiteral("1.9"), QStringLiteral("1.10")));
    EXPECT_FALSE(Updater::isNewerVersion(QStringLiteral("1.0.0"), QStringLiteral("1.0")));
    EXPECT_FALSE(Updater::isNewerVersion(QStringLiteral("2.0-beta"), QStringLiteral("1.0")));
    EXPECT_FALSE(Updater::isNewerVersion(QStringLiteral("latest"), QStringLiteral("1.0")));
}

TEST(UpdaterTest, ChecksTheFeedAndReportsWhatItFound) {
    FeedServer feed;
    Updater updater(feed.url(), QStringLiteral("1.9"));
    updater.allowLoopbackHttpForTesting(true);
    QSignalSpy canCheck(&updater, &Updater::canCheckForUpdatesChanged);
    EXPECT_TRUE(updater.canCheckForUpdates());

    feed.body = R"({"version": "1.10", "url": "https://example.org/corvale_1.10.deb"})";
    updater.checkForUpdates();
    EXPECT_FALSE(updater.canCheckForUpdates());
    ASSERT_TRUE(waitUntil([&] { return canCheck.size() == 2; }, 20000));
    EXPECT_TRUE(updater.canCheckForUpdates());

    UpdateCheckResult result = check(updater);
    EXPECT_EQ(result.outcome, Outcome::updateAvailable);
    EXPECT_EQ(result.latestVersion, QStringLiteral("1.10"));
    EXPECT_EQ(result.downloadUrl, QUrl(QStringLiteral("https://example.org/corvale_1.10.deb")));

    feed.body = R"({"version": "1.9", "url": "https://example.org/corvale_1.9.deb"})";
    EXPECT_EQ(check(updater).outcome, Outcome::upToDate);
}

TEST(UpdaterTest, AnythingButAGoodHttpsAnswerIsAFailedCheck) {
    FeedServer feed;
    Updater updater(feed.url(), QStringLiteral("1.0"));
    updater.allowLoopbackHttpForTesting(true);
    const QList<std::pair<QByteArray, QByteArray>> answers = {
        {"500 Internal Server Error", R"({"version": "2.0", "url": "https://example.org/"})"},
        {"200 OK", "<html>captive portal</html>"},
        {"200 OK", R"({"version": "2.0", "url": "http://example.org/corvale.deb"})"},
        {"200 OK", R"({"version": "two", "url": "https://example.org/corvale.deb"})"},
    };
    for (const auto& [status, body] : answers) {
        feed.status = status;
        feed.body = body;
        const UpdateCheckResult result = check(updater);
        EXPECT_EQ(result.outcome, Outcome::failed) << body.toStdString();
        EXPECT_EQ(result.title(), QStringLiteral("Couldn't check for updates"));
    }

    // Plain http is never fetched outside tests; no feed means no check at all.
    const int before = feed.requests;
    Updater strict(feed.url(), QStringLiteral("1.0"));
    EXPECT_EQ(check(strict).outcome, Outcome::failed);
    EXPECT_EQ(feed.requests, before);
    Updater none(QUrl(), QStringLiteral("1.0"));
    EXPECT_FALSE(none.canCheckForUpdates());
}
