// SPDX-License-Identifier: GPL-3.0-or-later
// Grouping of analysed files into outputs and the outputs' names.
#pragma once

#include "itemanalysis.h"

#include <QList>
#include <QMutex>
#include <QSet>
#include <QString>
#include <QUrl>

namespace corvale {

using OutputGroup = QList<ItemAnalysis>;

// The file's last path component without its extension.
[[nodiscard]] QString baseName(const QUrl& file);
// The base name, cut before the first " - " when renameForDropbox is on.
[[nodiscard]] QString dropboxBaseName(const QUrl& file, bool renameForDropbox);
// The leading characters of a that match b, compared case-insensitively.
[[nodiscard]] QString commonPrefix(const QString& a, const QString& b);
// The shared name of a merged group, trimmed of separators, digits and a trailing "part".
[[nodiscard]] QString mergedBaseName(const OutputGroup& group, bool renameForDropbox);

// Merged groups of consecutive recordings of one speaker, in the order their anchors were met,
// then the single files in file order.
[[nodiscard]] QList<OutputGroup> groupAnalyses(const QList<ItemAnalysis>& analyses);

// For each input, whether its output is certain to be a group of its own with a name no other
// output can take, whatever the analyses find: such a file may be written as soon as it is
// analysed. Decided on names alone and conservatively: no other input's output name shares
// its first two characters (compared case-insensitively), so it can neither be merged with
// another file nor take a name another output would have taken first.
[[nodiscard]] QList<bool> standsAlone(const QList<QUrl>& inputs, bool renameForDropbox);

// Hands out output names that neither exist (anything at the path counts, a dangling link
// included) nor were handed out before in this run. Safe to call from any thread, so that a
// writer whose name was taken meanwhile can ask for the next one. An empty URL when there is
// no such name: one too long for the file system, or every numbered name taken.
class OutputNameReserver {
public:
    static constexpr int kMaxNumberedNames = 100000;

    [[nodiscard]] QUrl uniqueOutputURL(const QString& folder, const QString& base,
                                       const QString& suffix);
    [[nodiscard]] QUrl uniqueReferenceCopyURL(const QString& folder, const QString& base);
    [[nodiscard]] QSet<QString> reserved() const;
    void clear();

private:
    QUrl reserveFirstFree(const QString& folder, const QString& first,
                          const std::function<QString(int)>& numbered);
    mutable QMutex m_mutex;
    QSet<QString> m_reserved;
};

} // namespace corvale
