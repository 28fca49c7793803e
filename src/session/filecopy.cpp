// SPDX-License-Identifier: GPL-3.0-or-later
#include "filecopy.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>

#include <cerrno>

#include <sys/stat.h>
#include <unistd.h>

namespace corvale {

bool copyFileSafely(const QString& source, const QString& destination, std::stop_token stop) {
    if (stop.stop_requested())
        return false;
    const QByteArray sourceName = QFile::encodeName(source);
    const QByteArray destinationName = QFile::encodeName(destination);
    if (::link(sourceName.constData(), destinationName.constData()) == 0) {
        ::chmod(destinationName.constData(), 0644);
        return true;
    }
    if (errno == EEXIST)
        return false;
    QFile in(source);
    if (!in.open(QIODevice::ReadOnly))
        return false;
    const QFileInfo info(destination);
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
    // link() refuses to replace an existing file, unlike rename().
    const QByteArray from = QFile::encodeName(out.fileName());
    if (::link(from.constData(), destinationName.constData()) != 0)
        return false;
    out.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup |
                       QFileDevice::ReadOther);
    return true; // the temporary name is removed when out goes out of scope
}

} // namespace corvale
