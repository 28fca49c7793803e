// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QList>
#include <QString>
#include <QUrl>

#include <optional>

namespace corvale {

// What the session needs from whoever hosts it: open panels, sounds and quitting. The desktop
// application fills these in with widgets and Qt Multimedia; without a window (command line,
// tests) the defaults choose nothing, play nothing and quit the event loop.
class SessionHost {
public:
    virtual ~SessionHost() = default;
    // Modal panel for one audio or video file; nothing when cancelled.
    virtual std::optional<QUrl> chooseReferenceFile(const QString& message);
    // Modal panel for several files, in the panel's order; empty when cancelled.
    virtual QList<QUrl> chooseIndividualFiles(const QString& message);
    // Plays a named sound; an unknown name or no sound device plays nothing.
    virtual void playSound(const QString& name);
    virtual void quitApplication();
};

} // namespace corvale
