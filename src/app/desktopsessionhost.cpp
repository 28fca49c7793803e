// SPDX-License-Identifier: GPL-3.0-or-later
#include "desktopsessionhost.h"

#include "soundbank.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMimeDatabase>
#include <QSet>

#include <algorithm>

namespace corvale {

DesktopSessionHost::DesktopSessionHost() = default;

DesktopSessionHost::~DesktopSessionHost() = default;

QStringList DesktopSessionHost::nameFilters() {
    static const QStringList filters = [] {
        QSet<QString> patterns;
        for (const QMimeType& type : QMimeDatabase().allMimeTypes()) {
            const QString name = type.name();
            if (!name.startsWith(QLatin1String("audio/")) &&
                !name.startsWith(QLatin1String("video/")))
                continue;
            for (const QString& glob : type.globPatterns())
                patterns.insert(glob);
        }
        QStringList sorted(patterns.begin(), patterns.end());
        std::sort(sorted.begin(), sorted.end());
        return QStringList{QStringLiteral("Audio and video files (%1)").arg(sorted.join(u' ')),
                           QStringLiteral("All files (*)")};
    }();
    return filters;
}

QWidget* DesktopSessionHost::dialogParent() const {
    return m_parent && m_parent->isVisible() ? m_parent.data() : nullptr;
}

QString DesktopSessionHost::startFolder() const {
    const QUrl reference = m_reference ? m_reference() : QUrl();
    if (reference.isLocalFile()) {
        const QFileInfo info(reference.toLocalFile());
        if (info.dir().exists())
            return info.absolutePath();
    }
    return m_lastFolder;
}

void DesktopSessionHost::rememberFolder(const QList<QUrl>& chosen) {
    if (!chosen.isEmpty() && chosen.first().isLocalFile())
        m_lastFolder = QFileInfo(chosen.first().toLocalFile()).absolutePath();
}

std::optional<QUrl> DesktopSessionHost::chooseReferenceFile(const QString& message) {
    QFileDialog dialog(dialogParent(), message, startFolder());
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setNameFilters(nameFilters());
    if (dialog.exec() != QDialog::Accepted || dialog.selectedUrls().isEmpty())
        return std::nullopt;
    rememberFolder(dialog.selectedUrls());
    return dialog.selectedUrls().constFirst();
}

QList<QUrl> DesktopSessionHost::chooseIndividualFiles(const QString& message) {
    QFileDialog dialog(dialogParent(), message, startFolder());
    dialog.setFileMode(QFileDialog::ExistingFiles);
    dialog.setNameFilters(nameFilters());
    if (dialog.exec() != QDialog::Accepted)
        return {};
    rememberFolder(dialog.selectedUrls());
    return dialog.selectedUrls();
}

void DesktopSessionHost::playSound(const QString& name) {
    if (!m_sounds)
        m_sounds = std::make_unique<SoundBank>();
    m_sounds->play(name);
}

void DesktopSessionHost::quitApplication() {
    if (m_quit)
        m_quit();
    else
        QCoreApplication::quit();
}

} // namespace corvale
