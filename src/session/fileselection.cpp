// SPDX-License-Identifier: GPL-3.0-or-later
// Choosing the reference and the files to sync, and finding files next to a new reference.
#include "appviewmodel.h"

#include "preferences.h"

#include <QDir>
#include <QFileInfo>
#include <QSet>

#include <algorithm>

namespace corvale {
namespace {

const QStringList kAudioExtensions{
    QStringLiteral("mp3"), QStringLiteral("wav"),  QStringLiteral("aif"), QStringLiteral("aiff"),
    QStringLiteral("m4a"), QStringLiteral("aac"),  QStringLiteral("mp4"), QStringLiteral("mov"),
    QStringLiteral("m4v"), QStringLiteral("flac"), QStringLiteral("caf"), QStringLiteral("mp2")};

bool hasExtension(const QFileInfo& info, const QStringList& extensions) {
    return extensions.contains(info.suffix().toLower());
}

// Direct entries of folder, hidden ones skipped; nullopt when the folder cannot be listed.
std::optional<QFileInfoList> listFolder(const QString& folder) {
    QDir dir(folder);
    if (!dir.exists() || !dir.isReadable())
        return std::nullopt;
    return dir.entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot);
}

// The file manager's order: case-insensitive, runs of digits compared as numbers. Written out
// because QCollator's numeric mode depends on how Qt was built and on the locale.
int naturalCompare(const QString& a, const QString& b) {
    qsizetype i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (a[i].isDigit() && b[j].isDigit()) {
            qsizetype ei = i, ej = j;
            while (ei < a.size() && a[ei].isDigit())
                ++ei;
            while (ej < b.size() && b[ej].isDigit())
                ++ej;
            QStringView da = QStringView(a).sliced(i, ei - i);
            QStringView db = QStringView(b).sliced(j, ej - j);
            while (da.size() > 1 && da.front() == QLatin1Char('0'))
                da = da.sliced(1);
            while (db.size() > 1 && db.front() == QLatin1Char('0'))
                db = db.sliced(1);
            if (da.size() != db.size())
                return da.size() < db.size() ? -1 : 1;
            if (const int c = da.compare(db); c != 0)
                return c < 0 ? -1 : 1;
            i = ei;
            j = ej;
            continue;
        }
        const QChar ca = a[i].toCaseFolded();
        const QChar cb = b[j].toCaseFolded();
        if (ca != cb)
            return ca < cb ? -1 : 1;
        ++i;
        ++j;
    }
    if (i < a.size() || j < b.size())
        return i < a.size() ? 1 : -1;
    return QString::compare(a, b);
}

// Audio files among entries, in the file manager's order.
QList<QUrl> audioFilesInNaturalOrder(const QFileInfoList& entries) {
    QFileInfoList audio;
    for (const QFileInfo& entry : entries) {
        if (hasExtension(entry, kAudioExtensions) && !entry.isDir())
            audio.append(entry);
    }
    std::stable_sort(audio.begin(), audio.end(), [](const QFileInfo& a, const QFileInfo& b) {
        return naturalCompare(a.fileName(), b.fileName()) < 0;
    });
    QList<QUrl> urls;
    for (const QFileInfo& info : audio)
        urls.append(QUrl::fromLocalFile(info.absoluteFilePath()));
    return urls;
}

} // namespace

void AppViewModel::addReferenceFile(const QUrl& url) {
    addReferenceFileWith(url, Preferences::autoPopulateFiles());
}

void AppViewModel::addReferenceFileWith(const QUrl& url, bool autoPopulateFiles) {
    if (runUnderWay() || (!m_referenceFile.isEmpty() && m_referenceFile == url))
        return;
    m_referenceFile = url;
    emit referenceFileChanged();
    QList<AudioFileItem*> kept;
    for (AudioFileItem* item : std::as_const(m_files)) {
        if (item->url() != url)
            kept.append(item);
    }
    setFiles(kept);
    updateCanSync();
    if (autoPopulateFiles)
        autoPopulate(url);
}

void AppViewModel::addIndividualFiles(const QList<QUrl>& urls) {
    if (runUnderWay())
        return;
    QSet<QUrl> known;
    for (const AudioFileItem* item : std::as_const(m_files))
        known.insert(item->url());
    QList<AudioFileItem*> files = m_files;
    for (const QUrl& url : urls) {
        if (!m_referenceFile.isEmpty() && url == m_referenceFile) {
            emit notice(QStringLiteral("“%1” is the reference, so it is not also a file to sync.")
                            .arg(QFileInfo(url.toLocalFile()).fileName()));
            continue;
        }
        if (known.contains(url))
            continue;
        known.insert(url); // the same file given twice is synced once
        files.append(new AudioFileItem(url, this));
    }
    setFiles(files);
}

void AppViewModel::removeFile(const AudioFileItem* item) {
    if (runUnderWay() || !item)
        return;
    QList<AudioFileItem*> kept;
    for (AudioFileItem* own : std::as_const(m_files)) {
        if (own->id() != item->id())
            kept.append(own);
    }
    setFiles(kept);
}

void AppViewModel::clearIndividualFiles() {
    if (m_isProcessing || runUnderWay())
        return;
    setFiles({});
}

void AppViewModel::chooseReferenceFile() {
    if (const auto url =
            m_host->chooseReferenceFile(QStringLiteral("Choose the reference audio file")))
        addReferenceFile(*url);
}

void AppViewModel::chooseIndividualFiles() {
    const QList<QUrl> urls = m_host->chooseIndividualFiles(
        QStringLiteral("Choose audio files to sync to the reference"));
    if (!urls.isEmpty())
        addIndividualFiles(urls);
}

void AppViewModel::autoPopulate(const QUrl& reference) {
    const QString folder = QFileInfo(reference.toLocalFile()).absolutePath();
    const QString parent = QFileInfo(folder).absolutePath();
    qsizetype added = 0;

    const QFileInfo sibling(QDir(parent).filePath(QStringLiteral("Original Audio")));
    if (sibling.isDir()) {
        if (const auto entries = listFolder(sibling.absoluteFilePath())) {
            const qsizetype before = m_files.size();
            addIndividualFiles(audioFilesInNaturalOrder(*entries));
            added += m_files.size() - before;
        }
    }
    if (const auto entries = listFolder(parent)) {
        const bool hasProject =
            std::any_of(entries->begin(), entries->end(), [](const QFileInfo& e) {
                return e.suffix().toLower() == QStringLiteral("logicx");
            });
        if (hasProject) {
            const qsizetype before = m_files.size();
            addIndividualFiles(audioFilesInNaturalOrder(*entries));
            added += m_files.size() - before;
        }
    }
    if (added > 0) {
        setStatusMessage(QStringLiteral("Added %1 file%2 automatically")
                             .arg(added)
                             .arg(added == 1 ? QString() : QStringLiteral("s")));
    }
}

} // namespace corvale
