// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

namespace corvale {

class AppViewModel;
class FileManagerExtensions;
class LaunchHost;

// The once-per-user offer to add "Use as Corvale Reference…" to the file managers.
class ExtensionOffer {
public:
    ExtensionOffer() = delete;

    static inline const QString offeredKey = QStringLiteral("didOfferFinderExtension");
    static constexpr int delayMs = 600;

    [[nodiscard]] static QString messageText();
    [[nodiscard]] static QString informativeText();

    // Called each time the main window is shown. Unless already made, the offer follows
    // delayMs (or delay) later on the session's thread, skipped (and tried again at a later
    // launch) while a headless run goes on or a modal window is open. host must outlive the
    // session.
    static void offerFinderExtension(AppViewModel& session, LaunchHost& host,
                                     const FileManagerExtensions& extensions, int delay = delayMs);
};

} // namespace corvale
