// SPDX-License-Identifier: GPL-3.0-or-later
// The update feed's body as a server (or whoever answers in its place) sends it.
#include "fuzzsupport.h"

#include "launch/updater.h"

using namespace corvale;
using corvale::fuzz::require;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    corvale::fuzz::ensureApplication();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const Updater updater(QUrl(QStringLiteral("https://example.org/feed.json")),
                                 QStringLiteral("1.2.0"));
    const QByteArray body(reinterpret_cast<const char*>(data), qsizetype(size));
    const UpdateCheckResult result = updater.readFeed(body);
    (void)result.title();
    (void)result.text(updater.currentVersion());
    if (result.outcome == UpdateCheckResult::Outcome::updateAvailable) {
        require(result.downloadUrl.scheme() == QStringLiteral("https"), "downloads are https");
        require(Updater::isNewerVersion(result.latestVersion, updater.currentVersion()),
                "an update is newer");
    }
    // The same bytes as two version texts.
    const QStringList parts = corvale::fuzz::argumentsOf(data, size);
    const QString a = parts.value(0), b = parts.value(1);
    require(!(Updater::isNewerVersion(a, b) && Updater::isNewerVersion(b, a)),
            "versions are ordered");
    return 0;
}
