// SPDX-License-Identifier: GPL-3.0-or-later
// The file-manager extension: "Use as Corvale Reference…" runs this with the selected items;
// it opens the first one's "corvale" URL through the desktop, which hands it to Corvale.
// Every failure is silent: the file manager has nowhere to show it.
#include "referencelink.h"

#include <QDir>
#include <QProcess>
#include <QUrlQuery>

int main(int argc, char** argv) {
    QList<QByteArray> arguments;
    for (int i = 1; i < argc; ++i)
        arguments.append(QByteArray(argv[i]));
    const auto path = corvale::ReferenceLink::firstSelectedPath(arguments, QDir::currentPath());
    if (!path)
        return 0;
    const QUrl url = corvale::ReferenceLink::forPath(*path);
    // Read back the way Corvale reads it: a path that would not arrive unchanged is not sent.
    if (!url.isValid() ||
        QUrlQuery(url).queryItemValue(QStringLiteral("path"), QUrl::FullyDecoded) != *path)
        return 0;
    QProcess::startDetached(QStringLiteral("xdg-open"), {url.toString(QUrl::FullyEncoded)});
    return 0;
}
