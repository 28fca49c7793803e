// SPDX-License-Identifier: GPL-3.0-or-later
#include "filemanagerextensions.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSaveFile>
#include <QStandardPaths>

#include <algorithm>

namespace corvale {

namespace {

const QString extensionName = QStringLiteral("corvale-file-manager-extension");
// Every integration file carries this mark; without it a file is not Corvale's to touch.
const QByteArray ownMark = "# Written by Corvale:";

bool isPlainWord(const QString& text) {
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9/._+-]+$"));
    return plain.match(text).hasMatch();
}

// One argument for a shell, or for GLib's shell-like splitting (Nemo).
QString shellQuoted(const QString& text) {
    if (isPlainWord(text))
        return text;
    QString quoted = text;
    quoted.replace(QLatin1Char('\''), QStringLiteral("'\\''"));
    return QLatin1Char('\'') + quoted + QLatin1Char('\'');
}

// One argument of a desktop entry's Exec key: the quoting rule, then the string escape rule.
QString desktopExecQuoted(const QString& text) {
    if (isPlainWord(text))
        return text;
    QString quoted;
    for (const QChar c : text) {
        if (c == u'"' || c == u'`' || c == u'$' || c == u'\\')
            quoted += QLatin1Char('\\');
        quoted += c;
    }
    quoted.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

// A string value of a key file (desktop entry, Nemo action), or one item of a ";" list.
QString keyFileValue(const QString& text, bool listItem) {
    QString escaped;
    for (const QChar c : text) {
        if (c == u'\\' || (listItem && c == u';'))
            escaped += QLatin1Char('\\');
        if (c == u'\n')
            escaped += QStringLiteral("\\n");
        else
            escaped += c;
    }
    return escaped;
}

QString templateResource(FileManagerExtensions::FileManager manager) {
    switch (manager) {
    case FileManagerExtensions::FileManager::files:
        return QStringLiteral(":/integration/corvale-nautilus.sh.in");
    case FileManagerExtensions::FileManager::dolphin:
        return QStringLiteral(":/integration/corvale-dolphin.desktop.in");
    case FileManagerExtensions::FileManager::nemo:
        return QStringLiteral(":/integration/corvale-nemo.nemo_action.in");
    }
    return {};
}

} // namespace

FileManagerExtensions::FileManagerExtensions(QString extensionExecutable, QString dataHome)
    : m_executable(std::move(extensionExecutable)), m_dataHome(std::move(dataHome)) {}

QString FileManagerExtensions::defaultExtensionExecutable() {
    const QString beside =
        QCoreApplication::applicationDirPath() + QLatin1Char('/') + extensionName;
    if (QFileInfo(beside).isExecutable())
        return beside;
    return extensionName;
}

QString FileManagerExtensions::defaultDataHome() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
}

QList<FileManagerExtensions::FileManager> FileManagerExtensions::all() {
    return {FileManager::files, FileManager::dolphin, FileManager::nemo};
}

QString FileManagerExtensions::displayName(FileManager manager) {
    switch (manager) {
    case FileManager::files:
        return QStringLiteral("Files (Nautilus)");
    case FileManager::dolphin:
        return QStringLiteral("Dolphin");
    case FileManager::nemo:
        return QStringLiteral("Nemo");
    }
    return {};
}

QString FileManagerExtensions::integrationPath(FileManager manager) const {
    switch (manager) {
    case FileManager::files:
        return m_dataHome + QStringLiteral("/nautilus/scripts/Use as Corvale Reference…");
    case FileManager::dolphin:
        return m_dataHome + QStringLiteral("/kio/servicemenus/corvale-use-as-reference.desktop");
    case FileManager::nemo:
        return m_dataHome + QStringLiteral("/nemo/actions/corvale-use-as-reference.nemo_action");
    }
    return {};
}

QString FileManagerExtensions::integrationText(FileManager manager) const {
    QFile resource(templateResource(manager));
    if (!resource.open(QIODevice::ReadOnly))
        return {};
    QString text = QString::fromUtf8(resource.readAll());
    text.replace(QStringLiteral("@EXEC_DESKTOP@"), desktopExecQuoted(m_executable));
    text.replace(QStringLiteral("@EXEC_SHELL@"), shellQuoted(m_executable));
    text.replace(QStringLiteral("@EXEC_VALUE@"), keyFileValue(m_executable, false));
    text.replace(QStringLiteral("@EXEC_LIST_ITEM@"), keyFileValue(m_executable, true));
    return text;
}

bool FileManagerExtensions::isOurs(const QString& path) const {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    return file.read(4096).contains(ownMark);
}

bool FileManagerExtensions::isInstalled(FileManager manager) const {
    return isOurs(integrationPath(manager));
}

bool FileManagerExtensions::isEnabled() const {
    const auto managers = all();
    return std::any_of(managers.begin(), managers.end(),
                       [this](FileManager manager) { return isInstalled(manager); });
}

Result<Done> FileManagerExtensions::install(FileManager manager) const {
    const QString path = integrationPath(manager);
    const QFileInfo info(path);
    if (info.exists() && !isOurs(path))
        return CorvaleError::passedOn(
            QStringLiteral("“%1” already exists and was not written by Corvale.").arg(path));
    if (!QDir().mkpath(info.absolutePath()))
        return CorvaleError::passedOn(
            QStringLiteral("Couldn’t create the folder “%1”.").arg(info.absolutePath()));
    const QString text = integrationText(manager);
    QSaveFile file(path);
    if (text.isEmpty() || !file.open(QIODevice::WriteOnly) || file.write(text.toUtf8()) < 0)
        return CorvaleError::passedOn(QStringLiteral("Couldn’t write “%1”.").arg(path));
    // Scripts must be executable, and Dolphin only loads service menus that are.
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner |
                        QFileDevice::ReadGroup | QFileDevice::ExeGroup | QFileDevice::ReadOther |
                        QFileDevice::ExeOther);
    if (!file.commit())
        return CorvaleError::passedOn(QStringLiteral("Couldn’t write “%1”.").arg(path));
    return Done{};
}

Result<Done> FileManagerExtensions::remove(FileManager manager) const {
    const QString path = integrationPath(manager);
    if (!QFileInfo::exists(path))
        return Done{};
    if (!isOurs(path))
        return CorvaleError::passedOn(
            QStringLiteral("“%1” was not written by Corvale and is left in place.").arg(path));
    if (!QFile::remove(path))
        return CorvaleError::passedOn(QStringLiteral("Couldn’t remove “%1”.").arg(path));
    return Done{};
}

} // namespace corvale
