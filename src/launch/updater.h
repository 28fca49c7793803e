// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QObject>
#include <QString>
#include <QUrl>

class QNetworkAccessManager;
class QNetworkReply;

namespace corvale {

// What a user-initiated update check found.
struct UpdateCheckResult {
    enum class Outcome { upToDate, updateAvailable, failed };
    Outcome outcome = Outcome::failed;
    QString latestVersion;
    QUrl downloadUrl;

    // The dialog's message and informative text.
    [[nodiscard]] QString title() const;
    [[nodiscard]] QString text(const QString& currentVersion) const;
};

// Corvale's updater: fetches a small JSON feed ({"version": "1.2.0", "url": "https://…"}) set
// at build time and compares its version with the running one. Only https is used for the feed
// and the download link; nothing is downloaded or installed here.
class Updater : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool canCheckForUpdates READ canCheckForUpdates NOTIFY canCheckForUpdatesChanged)
public:
    static constexpr qint64 maxFeedBytes = 64 * 1024;
    static constexpr int timeoutMs = 15000;

    // feed: empty means no updates are offered (the default build).
    explicit Updater(QUrl feed = buildFeedUrl(), QString currentVersion = buildVersion(),
                     QObject* parent = nullptr);

    [[nodiscard]] static QUrl buildFeedUrl();
    [[nodiscard]] static QString buildVersion();
    // candidate is newer than current, comparing numbers part by part (1.10 > 1.9). Texts
    // that are not plain dotted numbers are never newer.
    [[nodiscard]] static bool isNewerVersion(const QString& candidate, const QString& current);

    [[nodiscard]] const QUrl& feedUrl() const { return m_feed; }
    [[nodiscard]] const QString& currentVersion() const { return m_currentVersion; }
    // True when a feed is set and no check is running.
    [[nodiscard]] bool canCheckForUpdates() const;
    void checkForUpdates();

    // Tests serve the feed over plain http on 127.0.0.1; nothing else is ever allowed http.
    void allowLoopbackHttpForTesting(bool allow) { m_allowLoopbackHttp = allow; }

    // What a fetched feed's body says, against the running version.
    [[nodiscard]] UpdateCheckResult readFeed(const QByteArray& body) const;

signals:
    void canCheckForUpdatesChanged();
    void checkFinished(const corvale::UpdateCheckResult& result);

private:
    [[nodiscard]] bool isAllowedUrl(const QUrl& url) const;
    void finishCheck(QNetworkReply* reply);
    void setChecking(bool checking);

    QUrl m_feed;
    QString m_currentVersion;
    QNetworkAccessManager* m_network = nullptr;
    bool m_checking = false;
    bool m_allowLoopbackHttp = false;
};

} // namespace corvale
