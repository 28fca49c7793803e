// SPDX-License-Identifier: GPL-3.0-or-later
#include "unpublishedfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <cerrno>
#include <ctime>
#include <utility>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace corvale {
namespace {

constexpr char kPartialMark[] = ".corvale-partial-";

// The file systems that cannot make unnamed files say so with one of these.
bool lacksUnnamedFiles(int error) {
    return error == EOPNOTSUPP || error == EISDIR || error == EINVAL || error == ENOENT;
}

int createHidden(const QByteArray& folder, QByteArray stem, QByteArray& path) {
    if (stem.size() > 180) // keep the temporary name within NAME_MAX
        stem.clear();
    static constexpr char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    int lastError = EEXIST;
    for (int attempt = 0; attempt < 64 && lastError == EEXIST; ++attempt) {
        QByteArray suffix(6, 'x');
        for (char& c : suffix)
            c = kAlphabet[QRandomGenerator::global()->bounded(36)];
        const QByteArray candidate = folder + "/." + stem + kPartialMark + suffix + ".wav";
        const int fd = ::open(candidate.constData(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            // Held until the descriptor closes: a live writer's file is never taken for dead.
            ::flock(fd, LOCK_EX | LOCK_NB);
            path = candidate;
            return fd;
        }
        lastError = errno;
    }
    return -lastError;
}

} // namespace

UnpublishedFile::~UnpublishedFile() {
    discard();
}

int UnpublishedFile::create(const QString& finalPath, Kind kind) {
    discard();
    const QFileInfo target(finalPath);
    const QByteArray folder = QFile::encodeName(target.absolutePath());
    if (kind == Kind::unnamedWhereSupported) {
        m_fd = ::open(folder.constData(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
        if (m_fd >= 0)
            return 0;
        if (!lacksUnnamedFiles(errno))
            return errno;
    }
    const int fd = createHidden(folder, QFile::encodeName(target.fileName()), m_tempPath);
    if (fd < 0)
        return -fd;
    m_fd = fd;
    return 0;
}

Published UnpublishedFile::publish(const QString& finalPath, const NextName& nextName) {
    Published published;
    if (m_tempPath.isEmpty()) {
        const QByteArray self = "/proc/self/fd/" + QByteArray::number(m_fd);
        // linkat never replaces a name, like the renaming below.
        published = publishUnderFreeName(
            [&self](const QByteArray& name) {
                return ::linkat(AT_FDCWD, self.constData(), AT_FDCWD, name.constData(),
                                AT_SYMLINK_FOLLOW) == 0
                           ? 0
                           : errno;
            },
            finalPath, nextName);
    } else {
        published = publishUnderFreeName(
            [this](const QByteArray& name) { return publishWithoutReplacing(m_tempPath, name); },
            finalPath, nextName);
        if (published.error == 0)
            m_tempPath.clear();
    }
    if (published.error == 0) {
        if (::close(std::exchange(m_fd, -1)) != 0)
            published.error = errno;
    }
    return published;
}

void UnpublishedFile::discard() {
    if (!m_tempPath.isEmpty())
        ::unlink(m_tempPath.constData());
    m_tempPath.clear();
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

int removeDeadPartials(const QString& folder, std::chrono::seconds minAge) {
    const QDir dir(folder);
    const QStringList names = dir.entryList(
        {QStringLiteral(".*") + QLatin1String(kPartialMark) + QStringLiteral("*.wav")},
        QDir::Files | QDir::Hidden | QDir::System);
    int removed = 0;
    for (const QString& name : names) {
        const QByteArray path = QFile::encodeName(dir.filePath(name));
        const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
        if (fd < 0)
            continue;
        struct stat info {};
        const bool old = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
                         std::time(nullptr) - info.st_ctime >= minAge.count();
        if (old && ::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::unlink(path.constData()) == 0)
            ++removed;
        ::close(fd);
    }
    return removed;
}

} // namespace corvale
