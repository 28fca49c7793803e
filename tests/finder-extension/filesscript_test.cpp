// SPDX-License-Identifier: GPL-3.0-or-later
// The Files (Nautilus) script run the way Files runs it: the selected names shell-quoted into a
// command line that GLib parses as a desktop entry's Exec (what g_app_info_create_from_commandline
// makes of it), launched by GLib itself, with the selection in NAUTILUS_SCRIPT_SELECTED_URIS.
#include "launch/filemanagerextensions.h"
#include "launch/urlrequests.h"
#include "support/qtprinters.h"
#include "support/testenv.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QUrl>

#include <gtest/gtest.h>

using namespace corvale;
using namespace corvale::test;

namespace {

void touch(const QString& path) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << path.toStdString();
}

// g_shell_quote's form.
QString shellQuote(const QString& text) {
    QString quoted = text;
    quoted.replace(QLatin1Char('\''), QStringLiteral("'\\''"));
    return QLatin1Char('\'') + quoted + QLatin1Char('\'');
}

} // namespace

TEST(FilesScriptTest, HandsOverExactlyTheSelectedFileThroughGLibsLaunch) {
    const QString gio = QStandardPaths::findExecutable(QStringLiteral("gio"));
    ASSERT_FALSE(gio.isEmpty()) << "gio (libglib2.0-bin) is needed";
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const FileManagerExtensions extensions(QStringLiteral(CORVALE_EXTENSION_BINARY),
                                           dir.filePath(QStringLiteral("data")));
    ASSERT_TRUE(extensions.install(FileManagerExtensions::FileManager::files).ok());
    const QString script = extensions.integrationPath(FileManagerExtensions::FileManager::files);

    // Where the desktop would open the "corvale" URL, the URL is written down instead.
    const QString bin = dir.filePath(QStringLiteral("bin"));
    const QString record = dir.filePath(QStringLiteral("opened-url"));
    ASSERT_TRUE(QDir().mkpath(bin));
    makeFakeTool(bin, QStringLiteral("xdg-open"),
                 QStringLiteral("printf '%s' \"$1\" > '%1'").arg(record));

    const QString folder = dir.filePath(QStringLiteral("Podcast"));
    ASSERT_TRUE(QDir().mkpath(folder));
    // The decoys are what GLib's expansion and a "file:" reading would make of the names.
    touch(folder + QStringLiteral("/1001 pct F.wav"));
    touch(dir.filePath(QStringLiteral("secret.wav")));
    const QStringList names = {QStringLiteral("100%41 pct %2F.wav"),
                               QStringLiteral("file:%2E%2E%2Fsecret.wav"),
                               QStringLiteral("it's %f & %u; 100%.wav")};
    for (const QString& name : names) {
        SCOPED_TRACE(name.toStdString());
        const QString path = folder + QLatin1Char('/') + name;
        touch(path);
        touch(folder + QStringLiteral("/second.wav"));
        QFile::remove(record);

        QString exec = shellQuote(script) + QLatin1Char(' ') + shellQuote(name) +
                       QStringLiteral(" 'second.wav' %f");
        // The entry file's own escaping, which a command line handed to GLib does not go through.
        exec.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
        const QString entry = dir.filePath(QStringLiteral("files-script.desktop"));
        QFile desktop(entry);
        ASSERT_TRUE(desktop.open(QIODevice::WriteOnly | QIODevice::Truncate));
        desktop.write(QStringLiteral("[Desktop Entry]\nType=Application\nName=Script\nExec=%1\n")
                          .arg(exec)
                          .toUtf8());
        desktop.close();

        QProcess launch;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("PATH"), bin + QStringLiteral(":/usr/bin:/bin"));
        env.insert(QStringLiteral("NAUTILUS_SCRIPT_SELECTED_URIS"),
                   QString::fromLatin1(QUrl::fromLocalFile(path).toEncoded()) +
                       QStringLiteral("\nfile://") + folder + QStringLiteral("/second.wav\n"));
        launch.setProcessEnvironment(env);
        launch.setWorkingDirectory(folder);
        launch.start(gio, {QStringLiteral("launch"), entry});
        ASSERT_TRUE(launch.waitForFinished(10000));
        ASSERT_EQ(launch.exitCode(), 0) << launch.readAllStandardError().toStdString();

        ASSERT_TRUE(waitUntil([&] { return QFile(record).size() > 0; }, 10000));
        QFile opened(record);
        ASSERT_TRUE(opened.open(QIODevice::ReadOnly));
        const QUrl url(QString::fromUtf8(opened.readAll()));
        EXPECT_EQ(referencePathFromURL(url), path) << url.toString().toStdString();
    }
}
