// SPDX-License-Identifier: GPL-3.0-or-later
#include "filerowview.h"

#include "driftplot.h"
#include "elidedlabel.h"
#include "filemanagerreveal.h"
#include "theme.h"
#include "warningspopover.h"

#include "session/audiofileitem.h"
#include "session/resultbuilder.h"

#include <QBuffer>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHelpEvent>
#include <QLabel>
#include <QPainter>
#include <QToolButton>
#include <QToolTip>
#include <QVBoxLayout>

namespace corvale {

using Kind = ProcessingStatus::Kind;

FileRowView::FileRowView(AudioFileItem* item, QWidget* parent)
    : QWidget(parent), m_item(item), m_icon(new QLabel), m_name(new ElidedLabel(Qt::ElideMiddle)),
      m_status(new ElidedLabel(Qt::ElideRight)), m_output(new ElidedLabel(Qt::ElideMiddle)),
      m_reveal(new QToolButton), m_warning(new QToolButton), m_remove(new QToolButton) {
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(12, 7, 12, 7);
    row->setSpacing(10);
    m_icon->setFixedWidth(20);
    m_icon->setAlignment(Qt::AlignCenter);
    auto* texts = new QVBoxLayout;
    texts->setSpacing(2);
    m_name->setFont(theme::medium());
    m_status->setFont(theme::caption());
    texts->addWidget(m_name);
    texts->addWidget(m_status);
    m_output->setFont(theme::caption());
    texts->addWidget(m_output);

    m_reveal->setAutoRaise(true);
    m_reveal->setIcon(glyphIcon(Glyph::folder, theme::accent()));
    m_reveal->setIconSize(QSize(16, 16));
    m_reveal->setToolTip(QStringLiteral("Show in File Manager"));
    connect(m_reveal, &QToolButton::clicked, this, [this] {
        FileManagerReveal::showItems(writtenFiles(),
                                     [self = QPointer<FileRowView>(this)](const QString& problem) {
                                         if (self && !problem.isEmpty())
                                             emit self->revealFailed(problem);
                                     });
    });

    m_warning->setAutoRaise(true);
    m_warning->setIcon(glyphIcon(Glyph::exclamationTriangleFill, theme::orange()));
    m_warning->setIconSize(QSize(16, 16));
    m_warning->setToolTip(QStringLiteral("Alignment review recommended — click for details"));
    connect(m_warning, &QToolButton::clicked, this, &FileRowView::toggleWarnings);

    m_remove->setAutoRaise(true);
    m_remove->setIcon(glyphIcon(Glyph::xmarkCircle, theme::secondary()));
    m_remove->setIconSize(QSize(16, 16));
    m_remove->setToolTip(QStringLiteral("Remove"));
    connect(m_remove, &QToolButton::clicked, this, [this] {
        if (m_item && !m_runUnderWay)
            emit removeRequested(m_item);
    });

    row->addWidget(m_icon);
    row->addLayout(texts, 1);
    row->addWidget(m_warning);
    row->addWidget(m_reveal);
    row->addWidget(m_remove);

    if (item) {
        connect(item, &AudioFileItem::statusChanged, this, &FileRowView::refresh);
        connect(item, &AudioFileItem::urlChanged, this, &FileRowView::refresh);
    }
    refresh();
}

Glyph FileRowView::glyphFor(const ProcessingStatus& status) {
    if (status.result() && status.result()->notFound)
        return Glyph::exclamationTriangleFill;
    switch (status.kind()) {
    case Kind::waiting:
        return Glyph::clock;
    case Kind::converting:
        return Glyph::arrowsCircle;
    case Kind::analyzing:
        return Glyph::waveformEcg;
    case Kind::processing:
        return Glyph::gear;
    case Kind::normalizing:
        return Glyph::speakerWave;
    case Kind::complete:
        return Glyph::checkmarkCircleFill;
    case Kind::failed:
        return Glyph::exclamationCircleFill;
    case Kind::cancelled:
        return Glyph::xmarkCircle;
    }
    return Glyph::clock;
}

QColor FileRowView::colorFor(const ProcessingStatus& status) {
    if (status.result() && status.result()->notFound)
        return theme::orange();
    switch (status.kind()) {
    case Kind::waiting:
    case Kind::cancelled:
        return theme::secondary();
    case Kind::complete:
        return theme::green();
    case Kind::failed:
        return theme::red();
    default:
        return theme::accent();
    }
}

QList<QUrl> FileRowView::writtenFiles() const {
    const SyncResult* result = m_item ? m_item->status().result() : nullptr;
    if (!result || result->outputURL.isEmpty())
        return {};
    QList<QUrl> files{result->outputURL};
    if (result->outputURLRight)
        files << *result->outputURLRight;
    return files;
}

bool FileRowView::showingWarnings() const {
    return m_popover != nullptr;
}

WarningsPopover* FileRowView::popover() const {
    return m_popover;
}

void FileRowView::setRunUnderWay(bool on) {
    m_runUnderWay = on;
    m_remove->setEnabled(!on);
}

void FileRowView::setShowsDivider(bool on) {
    m_divider = on;
    update();
}

void FileRowView::refresh() {
    if (!m_item)
        return;
    const ProcessingStatus& status = m_item->status();
    m_kind = status.kind();
    m_icon->setPixmap(glyphPixmap(glyphFor(status), colorFor(status), 18, devicePixelRatioF()));
    m_name->setText(QFileInfo(m_item->url().toLocalFile()).fileName());
    m_status->setText(statusText(status));
    const bool notFound = status.result() && status.result()->notFound;
    const QColor statusColor = m_kind == Kind::failed ? theme::red()
                               : notFound             ? theme::orange()
                                                      : theme::secondary();
    if (m_status->palette().color(QPalette::WindowText) != statusColor)
        theme::style(m_status, theme::caption(), statusColor);
    const SyncResult* result = status.result();
    const bool warn = result && !result->warnings.isEmpty();
    m_warning->setVisible(warn);
    if (!warn && m_popover)
        m_popover->close();
    m_remove->setVisible(!status.isInProgress());

    QStringList written;
    for (const QUrl& file : writtenFiles())
        written << QFileInfo(file.toLocalFile()).fileName();
    m_output->setText(
        written.isEmpty() ? QString() : QStringLiteral("→ ") + written.join(QStringLiteral(", ")));
    m_output->setVisible(!written.isEmpty());
    m_reveal->setVisible(!written.isEmpty());
}

void FileRowView::toggleWarnings() {
    if (m_popover) {
        m_popover->close();
        return;
    }
    const SyncResult* result = m_item ? m_item->status().result() : nullptr;
    if (!result || result->warnings.isEmpty())
        return;
    m_popover = new WarningsPopover(*result, this);
    m_popover->popUp(m_warning);
}

QString FileRowView::richToolTip() const {
    const SyncResult* result = m_item ? m_item->status().result() : nullptr;
    if (!result)
        return {};
    QStringList lines{QStringLiteral("<b>%1</b>").arg(m_name->text().toHtmlEscaped())};
    if (result->placedByWaveformSearch)
        lines << QStringLiteral("Found by searching the whole reference for its waveform");
    lines << leftOutNotes(*result);
    if (result->clock.line.size() >= 2) {
        const QImage chart = DriftPlot::render(result->clock, QSize(260, 84));
        QByteArray png;
        QBuffer buffer(&png);
        buffer.open(QIODevice::WriteOnly);
        chart.save(&buffer, "PNG");
        lines << QStringLiteral("Clock drift followed along the track")
              << QStringLiteral("<img src=\"data:image/png;base64,%1\">")
                     .arg(QString::fromLatin1(png.toBase64()));
    }
    return lines.size() > 1 ? lines.join(QStringLiteral("<br>")) : QString();
}

bool FileRowView::event(QEvent* event) {
    if (event->type() == QEvent::ToolTip) {
        const QString rich = richToolTip();
        if (!rich.isEmpty()) {
            QToolTip::showText(static_cast<QHelpEvent*>(event)->globalPos(), rich, this);
            return true;
        }
    }
    return QWidget::event(event);
}

void FileRowView::paintEvent(QPaintEvent*) {
    if (!m_divider)
        return;
    QPainter painter(this);
    painter.setPen(theme::tinted(theme::secondary(), 0.35));
    painter.drawLine(40, height() - 1, width() - 8, height() - 1);
}

} // namespace corvale
