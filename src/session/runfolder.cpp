// SPDX-License-Identifier: GPL-3.0-or-later
#include "runfolder.h"

#include <QDir>
#include <QFile>
#include <QUuid>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>

#include <sys/stat.h>
#include <unistd.h>

namespace corvale {
namespace {

const QString kOwnerFile = QStringLiteral(".corvale-owner");

// A process is named by its pid and its start time, so a reused pid is not mistaken for it.
QByteArray processStartTime(qint64 pid) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return {};
    const QByteArray line = stat.readAll();
    // The command name may hold spaces and parentheses; fields are counted after the last ")".
    const qsizetype close = line.lastIndexOf(')');
    if (close < 0)
        return {};
    const QList<QByteArray> fields = line.mid(close + 2).split(' ');
    return fields.size() > 19 ? fields[19] : QByteArray(); // field 22 of the whole line
}

std::filesystem::path fsPath(const QString& path) {
    return std::filesystem::path(QFile::encodeName(path).toStdString());
}

bool ownerIsGone(const QString& folder) {
    QFile owner(QDir(folder).filePath(kOwnerFile));
    const QList<QByteArray> mark = owner.open(QIODevice::ReadOnly)
                                       ? owner.readAll().trimmed().split(' ')
                                       : QList<QByteArray>();
    bool ok = false;
    const qint64 pid = mark.value(0).toLongLong(&ok);
    if (!ok || pid <= 0 || mark.size() != 2) {
        // No mark (yet): a run may be creating its folder this very moment.
        struct stat info {};
        if (::lstat(QFile::encodeName(folder).constData(), &info) != 0)
            return false;
        return std::time(nullptr) - info.st_mtime > 3600;
    }
    const QByteArray started = processStartTime(pid);
    return started.isEmpty() || started != mark.value(1);
}

} // namespace

Result<QString> createRunFolder(const QString& tempRoot) {
    std::error_code ec;
    std::filesystem::create_directories(fsPath(tempRoot), ec);
    const QString folder = QDir(tempRoot).filePath(
        QStringLiteral("Corvale_") + QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper());
    // Readable by the user only: it holds the converted recordings in a shared folder.
    if (::mkdir(QFile::encodeName(folder).constData(), 0700) != 0)
        return CorvaleError::passedOn(QString::fromLocal8Bit(std::strerror(errno)));
    // Written whole under another name first, so that no one ever reads half a mark.
    const QString markPath = QDir(folder).filePath(kOwnerFile);
    QFile owner(markPath + QStringLiteral(".new"));
    if (owner.open(QIODevice::WriteOnly)) {
        const qint64 pid = ::getpid();
        owner.write(QByteArray::number(pid) + ' ' + processStartTime(pid) + '\n');
        owner.close();
        owner.rename(markPath);
    }
    return folder;
}

int removeStaleRunFolders(const QString& tempRoot) {
    int removed = 0;
    const QStringList names =
        QDir(tempRoot).entryList({QStringLiteral("Corvale_*")}, QDir::Dirs | QDir::Hidden);
    for (const QString& name : names) {
        const QString folder = QDir(tempRoot).filePath(name);
        struct stat info {};
        // Only real folders of this user; never follow a link planted in a shared folder.
        if (::lstat(QFile::encodeName(folder).constData(), &info) != 0 || !S_ISDIR(info.st_mode) ||
            info.st_uid != ::getuid() || !ownerIsGone(folder))
            continue;
        std::error_code ec;
        std::filesystem::remove_all(fsPath(folder), ec);
        removed += ec ? 0 : 1;
    }
    return removed;
}

} // namespace corvale
