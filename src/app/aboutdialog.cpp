// SPDX-License-Identifier: GPL-3.0-or-later
#include "aboutdialog.h"

#include "glyphs.h"
#include "theme.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QLabel>
#include <QPointer>
#include <QVBoxLayout>

#ifndef CORVALE_AUTHOR_NAME
#define CORVALE_AUTHOR_NAME "The Corvale developers"
#endif
#ifndef CORVALE_AUTHOR_EMAIL
#define CORVALE_AUTHOR_EMAIL ""
#endif

namespace corvale {
namespace {
const QString kFFmpegSite = QStringLiteral("https://ffmpeg.org");
constexpr int kWidth = 340;
} // namespace

QString AboutDialog::creditsHtml(const QString& authorName, const QString& authorEmail) {
    const QFont regular = QApplication::font();
    const double small = std::max(7.0, regular.pointSizeF() - 1.5);
    const QString link = theme::accent().name();
    QString html = QStringLiteral("<div align=\"center\">");
    html += QStringLiteral("<span style=\"font-size:%1pt\">%2</span>")
                .arg(regular.pointSizeF())
                .arg(authorName.toHtmlEscaped());
    if (!authorEmail.isEmpty()) {
        html +=
            QStringLiteral("<br><a href=\"mailto:%1\" style=\"color:%2; font-size:%3pt\">%1</a>")
                .arg(authorEmail.toHtmlEscaped(), link)
                .arg(regular.pointSizeF());
    }
    // What this build really uses: ffmpeg is run as a separate program, never linked.
    html += QStringLiteral(
                "<br><br><span style=\"font-size:%1pt; color:%2\">Corvale runs the separate "
                "ffmpeg program from the FFmpeg project to read recordings; it links no FFmpeg "
                "library.</span><br>")
                .arg(small)
                .arg(theme::secondary().name());
    html += QStringLiteral("<a href=\"%1\" style=\"color:%2; font-size:%3pt\">%1</a>")
                .arg(kFFmpegSite, link)
                .arg(small);
    html += QStringLiteral("<br><br><span style=\"font-size:%1pt; color:%2\">Built with Qt "
                           "(LGPL-3.0), libsndfile (LGPL-2.1+), libsoxr (LGPL-2.1+) and "
                           "libebur128 (MIT).<br>Corvale is free software under the GNU GPL, "
                           "version 3 or later.</span></div>")
                .arg(small)
                .arg(theme::secondary().name());
    return html;
}

AboutDialog::AboutDialog(QWidget* parent) : QDialog(parent), m_credits(new QLabel) {
    setWindowTitle(QStringLiteral("About Corvale"));
    auto* stack = new QVBoxLayout(this);
    stack->setContentsMargins(24, 20, 24, 16);
    stack->setSpacing(8);
    auto* icon = new QLabel;
    icon->setPixmap(glyphPixmap(Glyph::appIcon, theme::accent(), 64, devicePixelRatioF()));
    auto* name = new QLabel(QStringLiteral("Corvale"));
    name->setFont(theme::headline());
    auto* version =
        new QLabel(QStringLiteral("Version %1").arg(QApplication::applicationVersion()));
    theme::style(version, theme::caption(), theme::secondary());
    m_credits->setTextFormat(Qt::RichText);
    m_credits->setText(
        creditsHtml(QStringLiteral(CORVALE_AUTHOR_NAME), QStringLiteral(CORVALE_AUTHOR_EMAIL)));
    m_credits->setOpenExternalLinks(true);
    m_credits->setAlignment(Qt::AlignCenter);
    m_credits->setWordWrap(true);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::close);
    for (QWidget* widget :
         {static_cast<QWidget*>(icon), static_cast<QWidget*>(name), static_cast<QWidget*>(version)})
        stack->addWidget(widget, 0, Qt::AlignHCenter);
    stack->addSpacing(6);
    stack->addWidget(m_credits);
    stack->addWidget(buttons);
    setFixedWidth(kWidth);
    // A wrapped label's height depends on its width, which the dialog's first size ignores.
    m_credits->setMinimumHeight(m_credits->heightForWidth(kWidth - 48));
}

void showAboutPanel() {
    static QPointer<AboutDialog> dialog;
    if (!dialog) {
        dialog = new AboutDialog;
        dialog->setAttribute(Qt::WA_DeleteOnClose);
    }
    dialog->show();
    dialog->raise();
    dialog->activateWindow();
}

} // namespace corvale
