// SPDX-License-Identifier: GPL-3.0-or-later
#include "testenv.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QThread>

#include <sys/stat.h>
#include <unistd.h>

namespace corvale::test {

QString realFFmpeg() {
    const QString found = QStandardPaths::findExecutable(QStringLiteral("ffmpeg"));
    return found.isEmpty() ? QStringLiteral("/usr/bin/ffmpeg") : found;
}

QString realFFprobe() {
    const QString found = QStandardPaths::findExecutable(QStringLiteral("ffprobe"));
    return found.isEmpty() ? QStringLiteral("/usr/bin/ffprobe") : found;
}

bool waitUntil(const std::function<bool()>& condition, int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        if (!condition())
            QThread::msleep(2);
    }
    return true;
}

int childProcessCount() {
    int count = 0;
    for (const QString& pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        // The command name may hold spaces; the fields after it are state, then parent.
        const QByteArray text = stat.readAll();
        const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
        if (fields.size() > 1 && fields[1].toLongLong() == QCoreApplication::applicationPid())
            ++count;
    }
    return count;
}

std::optional<qint64> unnamedFileSize(const QString& folder) {
    const QByteArray prefix = QFile::encodeName(QDir(folder).canonicalPath()) + "/#";
    for (int fd = 0; fd < 1024; ++fd) {
        const QByteArray link = "/proc/self/fd/" + QByteArray::number(fd);
        char target[4096] = {};
        const ssize_t n = ::readlink(link.constData(), target, sizeof target - 1);
        struct stat info {};
        if (n > 0 && QByteArray(target, int(n)).startsWith(prefix) &&
            ::stat(link.constData(), &info) == 0)
            return qint64(info.st_size);
    }
    return std::nullopt;
}

QString makeFakeTool(const QString& dir, const QString& name, const QString& scriptBody) {
    const QString path = dir + QLatin1Char('/') + name;
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return {};
    file.write("#!/bin/sh\n");
    file.write(scriptBody.toUtf8());
    file.write("\n");
    file.close();
    file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup |
                        QFile::ExeGroup);
    return path;
}

} // namespace corvale::test
