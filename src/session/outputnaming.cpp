// SPDX-License-Identifier: GPL-3.0-or-later
#include "outputnaming.h"

#include "audio/publishfile.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>

namespace corvale {
namespace {

const QString kTrimCharacters = QStringLiteral(" -_.()[]#0123456789");

bool isMergeable(const ItemAnalysis& a) {
    return a.offset.confidenceBand != ConfidenceBand::low &&
           a.stereo.kind != StereoAnalysis::Kind::split;
}

void trimEnd(QString& text) {
    while (!text.isEmpty() && kTrimCharacters.contains(text.back()))
        text.chop(1);
}

} // namespace

QString baseName(const QUrl& file) {
    const QString name = QFileInfo(file.path()).fileName();
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    return dot > 0 ? name.left(dot) : name;
}

QString dropboxBaseName(const QUrl& file, bool renameForDropbox) {
    const QString base = baseName(file);
    if (!renameForDropbox)
        return base;
    const qsizetype cut = base.indexOf(QStringLiteral(" - "));
    return cut >= 0 ? base.left(cut) : base;
}

QString commonPrefix(const QString& a, const QString& b) {
    const QString la = a.toLower();
    const QString lb = b.toLower();
    qsizetype n = 0;
    const qsizetype limit = std::min(la.size(), lb.size());
    while (n < limit && la[n] == lb[n])
        ++n;
    return a.left(n);
}

QString mergedBaseName(const OutputGroup& group, bool renameForDropbox) {
    QStringList names;
    for (const ItemAnalysis& member : group)
        names << dropboxBaseName(member.url, renameForDropbox);
    if (names.isEmpty())
        return {};
    QString prefix = names.front();
    for (qsizetype i = 1; i < names.size(); ++i)
        prefix = commonPrefix(prefix, names[i]);
    trimEnd(prefix);
    if (prefix.toLower().endsWith(QStringLiteral("part"))) {
        prefix.chop(4);
        trimEnd(prefix);
    }
    return prefix.size() < 2 ? names.front() : prefix;
}

QList<OutputGroup> groupAnalyses(const QList<ItemAnalysis>& analyses) {
    QList<OutputGroup> groups;
    QList<qsizetype> used;
    auto isUsed = [&](const ItemAnalysis& a) { return used.contains(a.index); };

    for (const ItemAnalysis& a : analyses) {
        if (!isMergeable(a) || isUsed(a))
            continue;
        OutputGroup candidates{a};
        const QString aName = baseName(a.url);
        for (const ItemAnalysis& b : analyses) {
            if (b.index == a.index || !isMergeable(b) || isUsed(b))
                continue;
            const QString bName = baseName(b.url);
            const qsizetype p = commonPrefix(aName, bName).size();
            const qsizetype m = std::min(aName.size(), bName.size());
            const qsizetype threshold = m < 12 ? 6 : m / 2;
            if (p >= threshold)
                candidates.append(b);
        }
        if (candidates.size() < 2)
            continue;
        std::stable_sort(candidates.begin(), candidates.end(),
                         [](const ItemAnalysis& x, const ItemAnalysis& y) {
                             return x.offset.offsetSeconds < y.offset.offsetSeconds;
                         });
        bool consecutive = true;
        for (qsizetype i = 1; i < candidates.size(); ++i) {
            const ItemAnalysis& prev = candidates[i - 1];
            const ItemAnalysis& next = candidates[i];
            if (prev.offset.offsetSeconds + prev.durationSeconds - 2.0 >
                next.offset.offsetSeconds) {
                consecutive = false;
                break;
            }
        }
        if (!consecutive)
            continue;
        for (const ItemAnalysis& member : candidates)
            used.append(member.index);
        groups.append(candidates);
    }
    for (const ItemAnalysis& a : analyses) {
        if (!isUsed(a))
            groups.append(OutputGroup{a});
    }
    return groups;
}

QList<bool> standsAlone(const QList<QUrl>& inputs, bool renameForDropbox) {
    // A merge needs six shared leading characters of the base names, and every output name
    // (merged, split, numbered) starts with a prefix of a member's name: two shared characters
    // cover both. A name shorter than two characters is compared as far as it goes.
    QStringList keys;
    for (const QUrl& input : inputs)
        keys << dropboxBaseName(input, renameForDropbox).toLower().left(2);
    QList<bool> alone;
    for (qsizetype i = 0; i < keys.size(); ++i) {
        bool clear = !keys[i].isEmpty();
        for (qsizetype j = 0; clear && j < keys.size(); ++j)
            clear = j == i || !(keys[i].startsWith(keys[j]) || keys[j].startsWith(keys[i]));
        alone << clear;
    }
    return alone;
}

QSet<QString> OutputNameReserver::reserved() const {
    QMutexLocker lock(&m_mutex);
    return m_reserved;
}

void OutputNameReserver::clear() {
    QMutexLocker lock(&m_mutex);
    m_reserved.clear();
}

QUrl OutputNameReserver::reserveFirstFree(const QString& folder, const QString& first,
                                          const std::function<QString(int)>& numbered) {
    QMutexLocker lock(&m_mutex);
    const QDir dir(folder);
    QString path = dir.filePath(first);
    for (int k = 2; pathIsTaken(path) || m_reserved.contains(path); ++k) {
        // A name too long for the file system is taken by nothing, yet never free: numbering
        // only lengthens it. Bounded besides, so a folder that fills meanwhile cannot hold us.
        if (!nameCanExist(path) || k > kMaxNumberedNames)
            return {};
        path = dir.filePath(numbered(k));
    }
    m_reserved.insert(path);
    return QUrl::fromLocalFile(path);
}

QUrl OutputNameReserver::uniqueOutputURL(const QString& folder, const QString& base,
                                         const QString& suffix) {
    return reserveFirstFree(folder, base + suffix + QStringLiteral("-synced.wav"), [&](int k) {
        return base + suffix + QLatin1Char('-') + QString::number(k) +
               QStringLiteral("-synced.wav");
    });
}

QUrl OutputNameReserver::uniqueReferenceCopyURL(const QString& folder, const QString& base) {
    return reserveFirstFree(folder, base + QStringLiteral(".wav"), [&](int k) {
        return base + QLatin1Char('-') + QString::number(k) + QStringLiteral(".wav");
    });
}

} // namespace corvale
