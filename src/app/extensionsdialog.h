// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "launch/filemanagerextensions.h"

#include <QDialog>
#include <QHash>

class QLabel;
class QPushButton;

namespace corvale {

// Help › Enable File Manager Extension…: the supported file managers, each with whether
// "Use as Corvale Reference…" is in its right-click menu and a button to add or remove it.
class ExtensionsDialog : public QDialog {
    Q_OBJECT
public:
    explicit ExtensionsDialog(FileManagerExtensions extensions, QWidget* parent = nullptr);

    [[nodiscard]] QPushButton* button(FileManagerExtensions::FileManager manager) const {
        return m_buttons.value(manager);
    }

private:
    void toggle(FileManagerExtensions::FileManager manager);
    void refresh();

    FileManagerExtensions m_extensions;
    QHash<FileManagerExtensions::FileManager, QLabel*> m_states;
    QHash<FileManagerExtensions::FileManager, QPushButton*> m_buttons;
};

} // namespace corvale
