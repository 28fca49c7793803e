// SPDX-License-Identifier: GPL-3.0-or-later
#include "updater.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QVersionNumber>

namespace corvale {

namespace {

std::optional<QVersionNumber> plainVersion(const QString& text) {
    qsizetype suffix = 0;
    const QString trimmed = text.trimmed();
    const QVersionNumber version = QVersionNumber::fromString(trimmed, &suffix);
    if (version.isNull() || suffix != trimmed.size())
        return std::nullopt;
    return version.normalized();
}

} // namespace

QString UpdateCheckResult::title() const {
    switch (outcome) {
    case Outcome::upToDate:
        return QStringLiteral("You’re up to date!");
    case Outcome::updateAvailable:
        return QStringLiteral("A new version of Corvale is available!");
    case Outcome::failed:
        return QStringLiteral("Couldn't check for updates");
    }
    return {};
}

QString UpdateCheckResult::text(const QString& currentVersion) const {
    switch (outcome) {
    case Outcome::upToDate:
        return QStringLiteral("Corvale %1 is currently the newest version available.")
            .arg(currentVersion);
    case Outcome::updateAvailable:
        return QStringLiteral("Corvale %1 is now available — you have %2.")
            .arg(latestVersion, currentVersion);
    case Outcome::failed:
        return QStringLiteral("Check your internet connection and try again later.");
    }
    return {};
}

Updater::Updater(QUrl feed, QString currentVersion, QObject* parent)
    : QObject(parent), m_feed(std::move(feed)), m_currentVersion(std::move(currentVersion)) {}

QUrl Updater::buildFeedUrl() {
    return QUrl(QStringLiteral(CORVALE_UPDATE_FEED_URL));
}

QString Updater::buildVersion() {
    return QStringLiteral(CORVALE_VERSION);
}

bool Updater::isNewerVersion(const QString& candidate, const QString& current) {
    const auto newer = plainVersion(candidate);
    const auto running = plainVersion(current);
    return newer && running && QVersionNumber::compare(*newer, *running) > 0;
}

bool Updater::canCheckForUpdates() const {
    return !m_feed.isEmpty() && !m_checking;
}

bool Updater::isAllowedUrl(const QUrl& url) const {
    if (!url.isValid() || url.host().isEmpty())
        return false;
    if (url.scheme() == QStringLiteral("https"))
        return true;
    return m_allowLoopbackHttp && url.scheme() == QStringLiteral("http") &&
           url.host() == QStringLiteral("127.0.0.1");
}

void Updater::setChecking(bool checking) {
    const bool could = canCheckForUpdates();
    m_checking = checking;
    if (could != canCheckForUpdates())
        emit canCheckForUpdatesChanged();
}

void Updater::checkForUpdates() {
    if (!canCheckForUpdates())
        return;
    if (!isAllowedUrl(m_feed)) {
        emit checkFinished(UpdateCheckResult{});
        return;
    }
    if (!m_network)
        m_network = new QNetworkAccessManager(this);
    QNetworkRequest request(m_feed);
    // A redirect to plain http would undo the https-only rule.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setTransferTimeout(timeoutMs);
    setChecking(true);
    QNetworkReply* reply = m_network->get(request);
    connect(reply, &QNetworkReply::downloadProgress, reply, [reply](qint64 received, qint64) {
        if (received > maxFeedBytes)
            reply->abort();
    });
    connect(reply, &QNetworkReply::finished, this, [this, reply] { finishCheck(reply); });
}

void Updater::finishCheck(QNetworkReply* reply) {
    reply->deleteLater();
    UpdateCheckResult result;
    if (reply->error() == QNetworkReply::NoError && isAllowedUrl(reply->url()))
        result = readFeed(reply->read(maxFeedBytes + 1));
    setChecking(false);
    emit checkFinished(result);
}

UpdateCheckResult Updater::readFeed(const QByteArray& body) const {
    UpdateCheckResult failed;
    if (body.size() > maxFeedBytes)
        return failed;
    const QJsonDocument document = QJsonDocument::fromJson(body);
    if (!document.isObject())
        return failed;
    const QJsonObject feed = document.object();
    const QString version = feed.value(QStringLiteral("version")).toString();
    const QUrl link(feed.value(QStringLiteral("url")).toString(), QUrl::StrictMode);
    if (!plainVersion(version) || !plainVersion(m_currentVersion))
        return failed;
    UpdateCheckResult result;
    result.latestVersion = version.trimmed();
    if (!isNewerVersion(version, m_currentVersion)) {
        result.outcome = UpdateCheckResult::Outcome::upToDate;
        return result;
    }
    if (!isAllowedUrl(link))
        return failed;
    result.outcome = UpdateCheckResult::Outcome::updateAvailable;
    result.downloadUrl = link;
    return result;
}

} // namespace corvale
