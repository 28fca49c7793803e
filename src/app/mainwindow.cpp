// SPDX-License-Identifier: GPL-3.0-or-later
#include "mainwindow.h"

#include "contentview.h"
#include "glyphs.h"
#include "menucommands.h"
#include "theme.h"

#include <QEvent>
#include <QMenuBar>

namespace corvale {

MainWindow::MainWindow(AppViewModel* session, QWidget* parent)
    : QMainWindow(parent), m_session(session), m_content(new ContentView(session)),
      m_commands(new MenuCommands(menuBar(), this)) {
    setWindowTitle(QStringLiteral("Corvale"));
    setObjectName(QStringLiteral("main"));
    setWindowIcon(glyphIcon(Glyph::appIcon, theme::accent()));
    setCentralWidget(m_content);
    connect(m_commands, &MenuCommands::notice, m_content, &ContentView::showNotice);
    resize(600, 480);
}

void MainWindow::reopen() {
    if (isMinimized())
        showNormal();
    else
        show();
    raise();
    activateWindow();
}

void MainWindow::closeEvent(QCloseEvent* event) {
    QMainWindow::closeEvent(event);
    emit closedByUser();
}

void MainWindow::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    m_commands->setSession(m_session);
    emit openChanged(true);
}

void MainWindow::hideEvent(QHideEvent* event) {
    QMainWindow::hideEvent(event);
    // Minimising hides too, but the window is still open.
    if (!isMinimized()) {
        m_commands->setSession(nullptr);
        emit openChanged(false);
    }
}

} // namespace corvale
