// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QMainWindow>

namespace corvale {

class AppViewModel;
class ContentView;
class MenuCommands;

// The single main window. Closing it only hides it: the session, its files and any run stay,
// and reopening shows them as they were.
class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    explicit MainWindow(AppViewModel* session, QWidget* parent = nullptr);

    [[nodiscard]] ContentView* content() const { return m_content; }
    [[nodiscard]] MenuCommands* commands() const { return m_commands; }
    // Shows the window (or brings it forward when shown) and gives it the focus.
    void reopen();

signals:
    void openChanged(bool open);
    // The user closed the window (not a hide by the application).
    void closedByUser();

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    AppViewModel* m_session;
    ContentView* m_content;
    MenuCommands* m_commands;
};

} // namespace corvale
