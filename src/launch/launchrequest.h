// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <QUrl>

namespace corvale {

class AppServicesProvider;

// What the arguments of a start of `corvale` ask for: nothing (show the window again),
// "corvale" URLs, or files from "Open With" (only the first regular file is used; the
// arguments that are not local regular files are skipped and named in a notice).
class LaunchRequest {
public:
    enum class Kind { reopen, urls, file, ignored };

    // arguments exclude the program name and are absolute (see absoluteArguments).
    [[nodiscard]] static LaunchRequest fromArguments(const QStringList& arguments);
    // Paths made absolute against workingDirectory, so that the running instance, whose
    // working directory differs, reads them as meant; URLs are left as they are.
    [[nodiscard]] static QStringList absoluteArguments(const QStringList& arguments,
                                                       const QString& workingDirectory);

    [[nodiscard]] Kind kind() const { return m_kind; }
    [[nodiscard]] const QList<QUrl>& urls() const { return m_urls; }
    [[nodiscard]] const QString& file() const { return m_file; }
    // The arguments of an "Open With" request that were skipped.
    [[nodiscard]] const QStringList& skipped() const { return m_skipped; }
    // What the user is told about them; empty when nothing was skipped.
    [[nodiscard]] QString skippedNotice() const;

    void dispatch(AppServicesProvider& provider) const;

private:
    Kind m_kind = Kind::ignored;
    QList<QUrl> m_urls;
    QString m_file;
    QStringList m_skipped;
};

} // namespace corvale
