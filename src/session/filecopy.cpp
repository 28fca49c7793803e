// SPDX-License-Identifier: GPL-3.0-or-later
#include "filecopy.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>

#include <cerrno>
#include <cstring>

#include <sys/stat.h>
#include <unistd.h>

namespace corvale {

namespace {

CorvaleError systemError(int error) {
    return CorvaleError::passedOn(QString::fromLocal8Bit(std::strerror(error)));
}

CorvaleError nameTaken() {
    return CorvaleError::passedOn(QStringLiteral("no free name"));
}

} // namespace

Result<QString> copyFileSafely(const QString& source, const QString& destination,
                               std::stop_token stop, const NextName& nextName) {
    if (stop.stop_requested())
        return CorvaleError::cancelled();
    const QByteArray sourceName = QFile::encodeName(source);
    // A hard link shares the data and, like the publishing below, never replaces a name.
    QString target = destination;
    for (int attempt = 0; attempt < 10000; ++attempt) {
        const QByteArray targetName = QFile::encodeName(target);
        if (::link(sourceName.constData(), targetName.constData()) == 0) {
            ::chmod(targetName.constData(), 0644);
            return target;
        }
        if (errno != EEXIST)
            break;
        const std::optional<QString> next = nextName ? nextName() : std::nullopt;
        if (!next)
            return nameTaken();
        target = *next;
    }
    QFile in(source);
    if (!in.open(QIODevice::ReadOnly))
        return CorvaleError::passedOn(in.errorString());
    const QFileInfo info(target);
    QTemporaryFile out(info.absolutePath() + QStringLiteral("/.") + info.fileName() +
                       QStringLiteral(".XXXXXX.partial"));
    if (!out.open())
        return CorvaleError::passedOn(out.errorString());
    QByteArray buffer(1 << 20, Qt::Uninitialized);
    for (;;) {
        if (stop.stop_requested())
            return CorvaleError::cancelled();
        const qint64 got = in.read(buffer.data(), buffer.size());
        if (got < 0)
            return CorvaleError::passedOn(in.errorString());
        if (got == 0)
            break;
        if (out.write(buffer.constData(), got) != got)
            return CorvaleError::passedOn(out.errorString());
    }
    if (!out.flush())
        return CorvaleError::passedOn(out.errorString());
    out.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup |
                       QFileDevice::ReadOther);
    const Published published =
        publishUnderFreeName(QFile::encodeName(out.fileName()), target, nextName);
    if (published.error == EEXIST)
        return nameTaken();
    if (published.error != 0)
        return systemError(published.error);
    out.setAutoRemove(false); // it was moved to its name
    return published.path;
}

} // namespace corvale
