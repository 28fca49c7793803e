// SPDX-License-Identifier: GPL-3.0-or-later
// corvale: the desktop application.
#include "corvaleapp.h"
#include "glyphs.h"
#include "theme.h"

#include <QApplication>

int main(int argc, char** argv) {
    QApplication::setOrganizationName(QStringLiteral("Corvale"));
    QApplication::setApplicationName(QStringLiteral("Corvale"));
    QApplication::setApplicationVersion(QStringLiteral(CORVALE_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("corvale"));
    QApplication app(argc, argv);
    QApplication::setWindowIcon(
        corvale::glyphIcon(corvale::Glyph::appIcon, corvale::theme::accent()));
    corvale::CorvaleApp corvale;
    corvale.showMainWindow();
    return QApplication::exec();
}
