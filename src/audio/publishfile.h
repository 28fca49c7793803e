// SPDX-License-Identifier: GPL-3.0-or-later
// Giving a finished file its final name without ever replacing what stands there.
#pragma once

#include <QByteArray>
#include <QString>

#include <functional>
#include <optional>

namespace corvale {

// Asked for another name when the one chosen was taken meanwhile (by another run, another
// program, a link). Returns the next name to try, or nothing to give up.
using NextName = std::function<std::optional<QString>()>;

// True when anything stands at path: a file, a folder, or a link, even one that leads nowhere.
[[nodiscard]] bool pathIsTaken(const QString& path);

// False when no file can ever have this name: a name longer than the file system allows, or
// a folder on the way that is not one. Such a name is no more free with another number.
[[nodiscard]] bool nameCanExist(const QString& path);

// Moves the file at tempPath to finalPath in one step that refuses to replace anything there
// (renameat2 with RENAME_NOREPLACE; link and unlink where the file system lacks it).
// Returns 0, or the errno: EEXIST when the name is taken.
[[nodiscard]] int publishWithoutReplacing(const QByteArray& tempPath, const QByteArray& finalPath);

// publishWithoutReplacing, asking nextName for another name while the name is taken. Returns
// the path published, or the errno of the last attempt (EEXIST when no free name was given).
struct Published {
    QString path;
    int error = 0;
};
[[nodiscard]] Published publishUnderFreeName(const QByteArray& tempPath, const QString& finalPath,
                                             const NextName& nextName);
// The same with the step that gives one name: it returns 0 or the errno, EEXIST for a name
// taken, and never replaces anything.
using PublishStep = std::function<int(const QByteArray& finalPath)>;
[[nodiscard]] Published publishUnderFreeName(const PublishStep& step, const QString& finalPath,
                                             const NextName& nextName);

} // namespace corvale
