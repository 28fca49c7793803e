// SPDX-License-Identifier: GPL-3.0-or-later
#include "extensionsdialog.h"

#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>

namespace corvale {

using Manager = FileManagerExtensions::FileManager;

ExtensionsDialog::ExtensionsDialog(FileManagerExtensions extensions, QWidget* parent)
    : QDialog(parent), m_extensions(std::move(extensions)) {
    setWindowTitle(QStringLiteral("File Manager Extension"));
    auto* layout = new QVBoxLayout(this);
    auto* intro = new QLabel(QStringLiteral(
        "Add “Use as Corvale Reference…” to the right-click menu of your file manager. Choose "
        "it on a recording to make that recording the reference, then pick the files to sync."));
    intro->setWordWrap(true);
    layout->addWidget(intro);

    auto* grid = new QGridLayout;
    int row = 0;
    for (Manager manager : FileManagerExtensions::all()) {
        auto* state = new QLabel;
        auto* button = new QPushButton;
        grid->addWidget(new QLabel(FileManagerExtensions::displayName(manager)), row, 0);
        grid->addWidget(state, row, 1);
        grid->addWidget(button, row, 2);
        m_states.insert(manager, state);
        m_buttons.insert(manager, button);
        connect(button, &QPushButton::clicked, this, [this, manager] { toggle(manager); });
        ++row;
    }
    grid->setColumnStretch(1, 1);
    layout->addLayout(grid);

    auto* note = new QLabel(QStringLiteral(
        "In Files (Nautilus) the entry is under Scripts. A file manager that is open may need "
        "to be restarted to show the change."));
    note->setWordWrap(true);
    layout->addWidget(note);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::accept);
    layout->addWidget(buttons);
    setMinimumWidth(460);
    refresh();
}

void ExtensionsDialog::toggle(Manager manager) {
    const Result<Done> result = m_extensions.isInstalled(manager) ? m_extensions.remove(manager)
                                                                  : m_extensions.install(manager);
    if (!result.ok())
        QMessageBox::warning(this, windowTitle(), result.error().errorDescription());
    refresh();
}

void ExtensionsDialog::refresh() {
    for (Manager manager : FileManagerExtensions::all()) {
        const bool installed = m_extensions.isInstalled(manager);
        m_states.value(manager)->setText(installed ? QStringLiteral("Installed")
                                                   : QStringLiteral("Not installed"));
        m_buttons.value(manager)->setText(installed ? QStringLiteral("Remove")
                                                    : QStringLiteral("Install"));
    }
}

} // namespace corvale
