// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QDialog>

class QLabel;

namespace corvale {

// The About panel: icon, name, version and the credits (author, their address, the FFmpeg
// acknowledgement). The author's name and address are build settings.
class AboutDialog : public QDialog {
    Q_OBJECT
public:
    explicit AboutDialog(QWidget* parent = nullptr);

    // The credits as rich text; an empty address leaves out the mail link.
    [[nodiscard]] static QString creditsHtml(const QString& authorName, const QString& authorEmail);
    [[nodiscard]] QLabel* creditsLabel() const { return m_credits; }

private:
    QLabel* m_credits;
};

// Shows the one About panel, raising it when it is already open.
void showAboutPanel();

} // namespace corvale
