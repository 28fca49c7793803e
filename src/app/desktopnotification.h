// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

namespace corvale {

// A desktop notification (the freedesktop Notifications service), for a word to the user while
// no Corvale window is on screen. Nothing happens where the desktop has no such service.
class DesktopNotification {
public:
    DesktopNotification() = delete;

    // False when there is no session bus to send it on.
    static bool post(const QString& text);
};

} // namespace corvale
