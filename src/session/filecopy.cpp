// SPDX-License-Identifier: GPL-3.0-or-later
#include "filecopy.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>

#include <cerrno>

#include <sys/stat.h>
#include <unistd.h>

namespace corvale {

bool copyFileSafely(const QString& source, const QString& destination, std::stop_token stop,
                    const NextName& nextName) {
    if (stop.stop_requested())
        return false;
    const QByteArray sourceName = QFile::encodeName(source);
    // A hard link shares the data and, like the publishing below, never replaces a name.
    QString target = destination;
    for (int attempt = 0; attempt < 10000; ++attempt) {
        const QByteArray targetName = QFile::encodeName(target);
        if (::link(sourceName.constData(), targetName.constData()) == 0) {
            ::chmod(targetName.constData(), 0644);
            return true;
        }
        if (errno != EEXIST)
            break;
        const std::optional<QString> next = nextName ? nextName() : std::nullopt;
        if (!next)
            return false;
        target = *next;
    }
    QFile in(source);
    if (!in.open(QIODevice::ReadOnly))
        return false;
    const QFileInfo info(target);
    QTemporaryFile out(info.absolutePath() + QStringLiteral("/.") + info.fileName() +
                       QStringLiteral(".XXXXXX.partial"));
    if (!out.open())
        return false;
    QByteArray buffer(1 << 20, Qt::Uninitialized);
    for (;;) {
        if (stop.stop_requested())
            return false;
        const qint64 got = in.read(buffer.data(), buffer.size());
        if (got < 0)
            return false;
        if (got == 0)
            break;
        if (out.write(buffer.constData(), got) != got)
            return false;
    }
    if (!out.flush())
        return false;
    out.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup |
                       QFileDevice::ReadOther);
    const Published published =
        publishUnderFreeName(QFile::encodeName(out.fileName()), target, nextName);
    if (published.error != 0)
        return false;
    out.setAutoRemove(false); // it was moved to its name
    return true;
}

} // namespace corvale
