// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "publishfile.h"

#include <QByteArray>
#include <QString>

#include <chrono>

namespace corvale {

// A file being written in the folder of its final name that no name leads to until it is
// published, so that a writer killed even by SIGKILL leaves nothing behind: an unnamed file
// (O_TMPFILE) linked under its name when complete. Where the file system lacks unnamed files it
// falls back to a hidden partial name (".<name>.corvale-partial-XXXXXX.wav") held under a lock
// for as long as its writer lives, which removeDeadPartials() clears once the writer is gone.
// Destroyed unpublished, it leaves nothing.
class UnpublishedFile {
public:
    enum class Kind { unnamedWhereSupported, hiddenName };

    UnpublishedFile() = default;
    ~UnpublishedFile();
    UnpublishedFile(const UnpublishedFile&) = delete;
    UnpublishedFile& operator=(const UnpublishedFile&) = delete;

    // Opens the file for reading and writing beside finalPath. Returns 0 or the errno.
    [[nodiscard]] int create(const QString& finalPath, Kind kind = Kind::unnamedWhereSupported);
    [[nodiscard]] int fd() const { return m_fd; }
    [[nodiscard]] bool isUnnamed() const { return m_tempPath.isEmpty() && m_fd >= 0; }

    // Gives the complete file the name finalPath, never replacing anything there (a name taken
    // meanwhile gives way to the one nextName offers), and closes it.
    [[nodiscard]] Published publish(const QString& finalPath, const NextName& nextName);

    // Closes and removes the file.
    void discard();

private:
    int m_fd = -1;
    QByteArray m_tempPath; // empty for an unnamed file
};

// Removes the hidden partial files in folder whose writers are gone (their lock is free) and
// that are at least minAge old (a writer takes its lock an instant after creating the file).
// Returns how many were removed.
int removeDeadPartials(const QString& folder,
                       std::chrono::seconds minAge = std::chrono::seconds(60));

} // namespace corvale
