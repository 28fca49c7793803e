// SPDX-License-Identifier: GPL-3.0-or-later
#include "referencedropzone.h"

#include "elidedlabel.h"
#include "glyphs.h"
#include "theme.h"

#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QMimeData>
#include <QMouseEvent>
#include <QPushButton>
#include <QStackedLayout>
#include <QToolButton>
#include <QVBoxLayout>

namespace corvale {

ReferenceDropZone::ReferenceDropZone(QWidget* parent)
    : DropTargetFrame({0.07, 0.12, 0.40}, parent), m_pages(new QStackedLayout(this)),
      m_choose(new QPushButton(QStringLiteral("Choose Reference File…"))),
      m_replace(new QToolButton), m_name(new QLabel), m_folder(new ElidedLabel(Qt::ElideLeft)) {
    setFixedHeight(90);
    setCursor(Qt::PointingHandCursor);

    auto* empty = new QWidget;
    auto* emptyStack = new QVBoxLayout(empty);
    emptyStack->setSpacing(6);
    emptyStack->setAlignment(Qt::AlignCenter);
    auto* icon = new QLabel;
    icon->setPixmap(glyphPixmap(Glyph::arrowDownDoc, theme::secondary(), 24, devicePixelRatioF()));
    auto* hint = new QLabel(QStringLiteral("Drop file here"));
    theme::style(hint, theme::subheadline(), theme::secondary());
    m_choose->setFont(theme::subheadline());
    emptyStack->addWidget(icon, 0, Qt::AlignHCenter);
    emptyStack->addWidget(hint, 0, Qt::AlignHCenter);
    emptyStack->addWidget(m_choose, 0, Qt::AlignHCenter);
    connect(m_choose, &QPushButton::clicked, this, &ReferenceDropZone::browseRequested);

    auto* present = new QWidget;
    auto* row = new QHBoxLayout(present);
    row->setContentsMargins(12, 12, 12, 12);
    row->setSpacing(10);
    auto* wave = new QLabel;
    wave->setPixmap(glyphPixmap(Glyph::waveform, theme::accent(), 24, devicePixelRatioF()));
    auto* texts = new QVBoxLayout;
    texts->setSpacing(2);
    m_name->setFont(theme::medium());
    theme::style(m_folder, theme::caption(), theme::secondary());
    texts->addStretch();
    texts->addWidget(m_name);
    texts->addWidget(m_folder);
    texts->addStretch();
    m_replace->setAutoRaise(true);
    m_replace->setIcon(glyphIcon(Glyph::arrowsCircle, theme::primary()));
    m_replace->setIconSize(QSize(18, 18));
    m_replace->setToolTip(QStringLiteral("Choose Reference File…"));
    connect(m_replace, &QToolButton::clicked, this, &ReferenceDropZone::browseRequested);
    row->addWidget(wave);
    row->addLayout(texts, 1);
    row->addWidget(m_replace);

    m_pages->addWidget(empty);
    m_pages->addWidget(present);
}

void ReferenceDropZone::setReferenceFile(const QUrl& url) {
    m_reference = url;
    const bool present = !url.isEmpty();
    if (present) {
        const QFileInfo info(url.toLocalFile());
        m_name->setText(info.fileName());
        m_folder->setText(m_problem.isEmpty() ? info.absolutePath() : m_problem);
    }
    m_pages->setCurrentIndex(present ? 1 : 0);
    setCursor(present ? Qt::ArrowCursor : Qt::PointingHandCursor);
}

void ReferenceDropZone::setProblem(const QString& problem) {
    if (m_problem == problem)
        return;
    m_problem = problem;
    // A tool's text can run over several lines: the first shows, the tooltip has it all.
    theme::style(m_folder, theme::caption(), problem.isEmpty() ? theme::secondary() : theme::red());
    m_folder->setToolTip(problem);
    setReferenceFile(m_reference);
}

void ReferenceDropZone::handleDrop(const QMimeData* mime) {
    if (!mime || !mime->hasUrls() || mime->urls().isEmpty())
        return;
    const QUrl first = mime->urls().constFirst();
    if (first.isLocalFile() && !first.toLocalFile().isEmpty())
        emit fileSelected(first);
}

QString ReferenceDropZone::shownName() const {
    return m_reference.isEmpty() ? QString() : m_name->text();
}

QString ReferenceDropZone::shownFolder() const {
    return m_reference.isEmpty() ? QString() : m_folder->text();
}

void ReferenceDropZone::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && m_reference.isEmpty() &&
        rect().contains(event->position().toPoint()))
        emit browseRequested();
    DropTargetFrame::mouseReleaseEvent(event);
}

} // namespace corvale
