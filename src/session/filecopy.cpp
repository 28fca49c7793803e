// SPDX-License-Identifier: GPL-3.0-or-later
#include "filecopy.h"

#include "audio/unpublishedfile.h"

#include <QFile>
#include <QFileInfo>

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
    // Unnamed until complete: a copy cut short, even by SIGKILL, leaves nothing.
    UnpublishedFile out;
    if (const int error = out.create(target); error != 0)
        return systemError(error);
    QByteArray buffer(1 << 20, Qt::Uninitialized);
    for (;;) {
        if (stop.stop_requested())
            return CorvaleError::cancelled();
        const qint64 got = in.read(buffer.data(), buffer.size());
        if (got < 0)
            return CorvaleError::passedOn(in.errorString());
        if (got == 0)
            break;
        for (qint64 put = 0; put < got;) {
            const ssize_t n = ::write(out.fd(), buffer.constData() + put, std::size_t(got - put));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return systemError(n < 0 ? errno : EIO);
            put += n;
        }
    }
    ::fchmod(out.fd(), 0644);
    const Published published = out.publish(target, nextName);
    if (published.error == EEXIST)
        return nameTaken();
    if (published.error != 0)
        return systemError(published.error);
    return published.path;
}

} // namespace corvale
