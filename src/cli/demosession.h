// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>
#include <QStringList>

namespace corvale::cli {

// A generated eight-minute session: a call reference holding four voices and each
// participant's own recording: Alice started late (m4a), Bob early (mp3), Carol split into two
// parts (wav) and Dan, the host, on a clock that drifts by 0.9 s over the session (wav).
struct DemoSession {
    QString folder;
    QString reference;
    QStringList files;
    QString outputFolder;
    QString error; // set when the session could not be made
};

// Writes the session into folder, which must be new or empty; an empty folder argument makes a
// new one in the temporary directory. Uses ffmpeg to encode. Blocks.
[[nodiscard]] DemoSession createDemoSession(const QString& folder, const QString& ffmpegPath);

} // namespace corvale::cli
