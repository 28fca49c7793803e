// SPDX-License-Identifier: GPL-3.0-or-later
#include "publishfile.h"

#include <QFile>

#include <cerrno>
#include <cstdio>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace corvale {

bool pathIsTaken(const QString& path) {
    struct stat info {};
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 || errno != ENOENT;
}

bool nameCanExist(const QString& path) {
    struct stat info {};
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 ||
           (errno != ENAMETOOLONG && errno != ENOTDIR);
}

int publishWithoutReplacing(const QByteArray& tempPath, const QByteArray& finalPath) {
    if (::renameat2(AT_FDCWD, tempPath.constData(), AT_FDCWD, finalPath.constData(),
                    RENAME_NOREPLACE) == 0)
        return 0;
    const int error = errno;
    if (error != EINVAL && error != ENOSYS && error != ENOTSUP)
        return error;
    // A file system without the flag: link() refuses an existing name just the same.
    if (::link(tempPath.constData(), finalPath.constData()) != 0)
        return errno;
    ::unlink(tempPath.constData());
    return 0;
}

Published publishUnderFreeName(const QByteArray& tempPath, const QString& finalPath,
                               const NextName& nextName) {
    return publishUnderFreeName(
        [&tempPath](const QByteArray& name) { return publishWithoutReplacing(tempPath, name); },
        finalPath, nextName);
}

Published publishUnderFreeName(const PublishStep& step, const QString& finalPath,
                               const NextName& nextName) {
    QString target = finalPath;
    // Bounded: a caller whose names keep being taken gives up rather than spin.
    for (int attempt = 0; attempt < 10000; ++attempt) {
        const int error = step(QFile::encodeName(target));
        if (error == 0)
            return {target, 0};
        if (error != EEXIST || !nextName)
            return {{}, error};
        const std::optional<QString> next = nextName();
        if (!next)
            return {{}, EEXIST};
        target = *next;
    }
    return {{}, EEXIST};
}

} // namespace corvale
