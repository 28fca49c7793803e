// SPDX-License-Identifier: GPL-3.0-or-later
#include "progressfloaterview.h"

#include "theme.h"

#include "session/appviewmodel.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

namespace corvale {

ProgressFloaterView::ProgressFloaterView(AppViewModel* session, QWidget* parent)
    : QWidget(parent), m_session(session), m_progress(new QProgressBar), m_status(new QLabel),
      m_cancel(new QPushButton(QStringLiteral("Cancel"))) {
    setFixedWidth(380);
    auto* stack = new QVBoxLayout(this);
    stack->setContentsMargins(20, 14, 20, 14);
    stack->setSpacing(8);
    theme::styleRunProgress(m_progress);
    stack->addWidget(m_progress);

    auto* row = new QHBoxLayout;
    row->setSpacing(4);
    m_status->setTextFormat(Qt::PlainText);
    theme::style(m_status, theme::callout(), theme::secondary());
    m_status->setMinimumWidth(1);
    m_status->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    row->addWidget(m_status, 1);
    row->addSpacing(8);
    row->addWidget(m_cancel);
    // Keeps the row's height when "Cancel" goes, so the panel does not jump.
    auto policy = m_cancel->sizePolicy();
    policy.setRetainSizeWhenHidden(true);
    m_cancel->setSizePolicy(policy);
    stack->addLayout(row);
    stack->addStretch();

    connect(m_cancel, &QPushButton::clicked, session, &AppViewModel::cancelProcessing);
    const auto redraw = [this] { refresh(); };
    connect(session, &AppViewModel::overallProgressChanged, this, redraw);
    connect(session, &AppViewModel::statusMessageChanged, this, redraw);
    connect(session, &AppViewModel::elapsedTimeChanged, this, redraw);
    connect(session, &AppViewModel::isProcessingChanged, this, redraw);
    refresh();
}

void ProgressFloaterView::refresh() {
    if (!m_session)
        return;
    m_progress->setValue(int(m_session->overallProgress() * 1000.0 + 0.5));
    m_status->setText(m_session->statusMessage());
    m_cancel->setVisible(m_session->isProcessing());
}

} // namespace corvale
