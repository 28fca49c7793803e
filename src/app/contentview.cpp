// SPDX-License-Identifier: GPL-3.0-or-later
#include "contentview.h"

#include "elidedlabel.h"
#include "fileslistview.h"
#include "glyphlabel.h"
#include "referencedropzone.h"
#include "theme.h"

#include "session/appviewmodel.h"

#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

namespace corvale {
namespace {

QFrame* divider() {
    auto* line = new QFrame;
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Plain);
    line->setFixedHeight(1);
    QPalette palette = line->palette();
    palette.setColor(QPalette::WindowText, theme::tinted(theme::secondary(), 0.45));
    line->setPalette(palette);
    return line;
}

QLabel* captionLabel(const QString& text, const QColor& color) {
    auto* label = new QLabel(text);
    label->setTextFormat(Qt::PlainText);
    theme::style(label, theme::caption(), color);
    return label;
}

// The output row's rounded, faintly filled background.
class OutputRow : public QWidget {
public:
    using QWidget::QWidget;

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(theme::tinted(theme::secondary(), 0.10));
        painter.drawRoundedRect(QRectF(rect()), 8, 8);
    }
};

std::optional<QUrl> chooseFolderWithDialog(QWidget* parent, const QUrl& start) {
    const QUrl folder = QFileDialog::getExistingDirectoryUrl(
        parent, QStringLiteral("Choose where to save synced files"), start,
        QFileDialog::ShowDirsOnly);
    if (folder.isEmpty())
        return std::nullopt;
    return folder;
}

const QString kProminentStyle = QStringLiteral(
    "QPushButton { background-color: %1; color: white; border: 1px solid %2; border-radius: 5px;"
    " padding: 4px 14px; font-weight: 600; }"
    "QPushButton:hover { background-color: %3; }"
    "QPushButton:pressed { background-color: %2; }");

} // namespace

ContentView::ContentView(AppViewModel* session, QWidget* parent)
    : QWidget(parent), m_session(session), m_chooseFolder(chooseFolderWithDialog),
      m_noticeTimer(new QTimer(this)) {
    auto* stack = new QVBoxLayout(this);
    stack->setContentsMargins(0, 0, 0, 0);
    stack->setSpacing(0);
    stack->addWidget(buildHeader());
    stack->addWidget(divider());
    stack->addWidget(buildInputs(), 1);
    stack->addWidget(divider());
    stack->addWidget(buildFooter());
    setMinimumWidth(540);

    AppViewModel* vm = m_session;
    const auto redraw = [this] { refresh(); };
    connect(vm, &AppViewModel::referenceFileChanged, this, redraw);
    connect(vm, &AppViewModel::outputFolderChanged, this, redraw);
    connect(vm, &AppViewModel::isProcessingChanged, this, redraw);
    // Progress changes often during a run; it moves only the bar.
    connect(vm, &AppViewModel::overallProgressChanged, this,
            [this] { m_progress->setValue(int(m_session->overallProgress() * 1000.0 + 0.5)); });
    // A notice gives way to the session's next word, or fades after a while.
    m_noticeTimer->setSingleShot(true);
    m_noticeTimer->setInterval(kNoticeMs);
    const auto endNotice = [this] {
        m_notice.clear();
        refresh();
    };
    connect(m_noticeTimer, &QTimer::timeout, this, endNotice);
    connect(vm, &AppViewModel::statusMessageChanged, this, endNotice);
    connect(vm, &AppViewModel::notice, this, &ContentView::showNotice);
    connect(vm, &AppViewModel::elapsedTimeChanged, this, redraw);
    connect(vm, &AppViewModel::canSyncChanged, this, redraw);
    connect(vm, &AppViewModel::runEnded, this, redraw);
    connect(vm, &AppViewModel::referenceProblemChanged, this, redraw);
    connect(vm, &AppViewModel::individualFilesChanged, this, [this] { refreshFiles(); });
    refreshFiles();
}

QWidget* ContentView::buildHeader() {
    auto* header = new QWidget;
    auto* row = new QHBoxLayout(header);
    row->setContentsMargins(16, 16, 16, 12);
    auto* intro =
        new QLabel(QStringLiteral("Choose files to sync them together for podcast editing."));
    theme::style(intro, theme::subheadline(), theme::secondary());
    intro->setMinimumWidth(1);
    m_ffmpegMissing =
        new GlyphLabel(Glyph::exclamationTriangleFill, QStringLiteral("ffmpeg not found"),
                       theme::caption(), theme::orange());
    row->addWidget(intro, 1);
    row->addWidget(m_ffmpegMissing);
    return header;
}

QWidget* ContentView::buildInputs() {
    AppViewModel* vm = m_session;
    auto* inputs = new QWidget;
    auto* blocks = new QVBoxLayout(inputs);
    blocks->setContentsMargins(16, 16, 16, 16);
    blocks->setSpacing(16);

    auto* referenceBlock = new QVBoxLayout;
    referenceBlock->setSpacing(8);
    referenceBlock->addWidget(new GlyphLabel(Glyph::people,
                                             QStringLiteral("Reference File (all voices)"),
                                             theme::headline(), theme::primary()));
    m_reference = new ReferenceDropZone;
    referenceBlock->addWidget(m_reference);
    connect(m_reference, &ReferenceDropZone::fileSelected, vm, &AppViewModel::addReferenceFile);
    connect(m_reference, &ReferenceDropZone::browseRequested, vm,
            &AppViewModel::chooseReferenceFile);
    blocks->addLayout(referenceBlock);

    auto* filesBlock = new QVBoxLayout;
    filesBlock->setSpacing(8);
    auto* heading = new QHBoxLayout;
    heading->addWidget(new GlyphLabel(Glyph::personWave,
                                      QStringLiteral("Files to Sync (individual voices)"),
                                      theme::headline(), theme::primary()));
    heading->addStretch();
    // Once the list holds files its own "Choose Files to Sync…" is gone; adding more stays here.
    m_addFiles = new QPushButton(QStringLiteral("Add Files…"));
    m_addFiles->setFlat(true);
    theme::style(m_addFiles, theme::subheadline(), theme::accent());
    m_addFiles->setCursor(Qt::PointingHandCursor);
    connect(m_addFiles, &QPushButton::clicked, vm, &AppViewModel::chooseIndividualFiles);
    heading->addWidget(m_addFiles);
    m_clearAll = new QPushButton(QStringLiteral("Clear All"));
    m_clearAll->setFlat(true);
    theme::style(m_clearAll, theme::subheadline(), theme::accent());
    m_clearAll->setCursor(Qt::PointingHandCursor);
    connect(m_clearAll, &QPushButton::clicked, vm, &AppViewModel::clearIndividualFiles);
    heading->addWidget(m_clearAll);
    filesBlock->addLayout(heading);
    m_files = new FilesListView;
    filesBlock->addWidget(m_files, 1);
    connect(m_files, &FilesListView::removeRequested, vm,
            [vm](AudioFileItem* item) { vm->removeFile(item); });
    connect(m_files, &FilesListView::filesDropped, vm, &AppViewModel::addIndividualFiles);
    connect(m_files, &FilesListView::browseRequested, vm, &AppViewModel::chooseIndividualFiles);
    connect(m_files, &FilesListView::revealFailed, this, &ContentView::showNotice);
    // The list takes the spare height, so a tall window has no gap above the footer.
    blocks->addLayout(filesBlock, 1);

    auto* output = new OutputRow;
    auto* row = new QHBoxLayout(output);
    row->setContentsMargins(10, 10, 10, 10);
    row->addWidget(new GlyphLabel(Glyph::folder, QStringLiteral("Output:"), theme::subheadline(),
                                  theme::secondary()));
    m_outputPath = new ElidedLabel(Qt::ElideMiddle);
    row->addWidget(m_outputPath, 100);
    row->addStretch(1);
    m_chooseOutput = new QPushButton(QStringLiteral("Choose…"));
    m_chooseOutput->setFont(theme::subheadline());
    connect(m_chooseOutput, &QPushButton::clicked, this, &ContentView::chooseOutputFolder);
    row->addWidget(m_chooseOutput);
    blocks->addWidget(output);
    return inputs;
}

QWidget* ContentView::buildFooter() {
    AppViewModel* vm = m_session;
    auto* footer = new QWidget;
    auto* stack = new QVBoxLayout(footer);
    stack->setContentsMargins(16, 16, 16, 16);
    stack->setSpacing(8);
    m_progress = new QProgressBar;
    theme::styleRunProgress(m_progress);
    stack->addWidget(m_progress);

    auto* row = new QHBoxLayout;
    row->setSpacing(4);
    m_status = new ElidedLabel(Qt::ElideRight);
    m_status->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    theme::style(m_status, theme::caption(), theme::secondary());
    m_validation = captionLabel(QString(), theme::orange());
    m_cancel = new QPushButton(QStringLiteral("Cancel"));
    m_reset = new QPushButton(QStringLiteral("Reset"));
    m_sync = new QPushButton(QStringLiteral("Sync Files"));
    connect(m_cancel, &QPushButton::clicked, vm, &AppViewModel::cancelProcessing);
    connect(m_reset, &QPushButton::clicked, vm, &AppViewModel::resetSession);
    connect(m_sync, &QPushButton::clicked, vm, &AppViewModel::startProcessing);
    row->addWidget(m_status);
    row->addStretch(1);
    row->addSpacing(8);
    row->addWidget(m_cancel);
    row->addWidget(m_validation);
    row->addSpacing(4);
    row->addWidget(m_reset);
    row->addSpacing(4);
    row->addWidget(m_sync);
    stack->addLayout(row);
    return footer;
}

void ContentView::chooseOutputFolder() {
    if (!m_session || !m_chooseFolder)
        return;
    if (const auto folder = m_chooseFolder(this, m_session->effectiveOutputFolder()))
        m_session->setOutputFolder(*folder);
}

void ContentView::showNotice(const QString& text) {
    m_notice = text;
    m_noticeTimer->start();
    refresh();
}

bool ContentView::syncIsProminent() const {
    return !m_sync->styleSheet().isEmpty();
}

void ContentView::refreshFiles() {
    if (!m_session)
        return;
    for (AudioFileItem* item : m_session->individualFiles())
        connect(item, &AudioFileItem::statusChanged, this, &ContentView::refresh,
                Qt::UniqueConnection);
    m_files->setFiles(m_session->individualFiles());
    refresh();
}

void ContentView::refresh() {
    AppViewModel* vm = m_session;
    if (!vm)
        return;
    const bool processing = vm->isProcessing();
    // After a cancel the run winds down for a moment; the session refuses changes until then.
    const bool busy = processing || vm->runUnderWay();

    m_ffmpegMissing->setVisible(!vm->ffmpegPath().has_value());
    m_reference->setProblem(vm->referenceProblem().section(QLatin1Char('\n'), 0, 0));
    m_reference->setReferenceFile(vm->referenceFile());
    m_reference->chooseButton()->setEnabled(!busy);
    m_reference->replaceButton()->setEnabled(!busy);
    m_files->chooseButton()->setEnabled(!busy);
    m_files->setRunUnderWay(busy);
    m_addFiles->setVisible(!vm->individualFiles().isEmpty());
    m_addFiles->setEnabled(!busy);
    m_clearAll->setVisible(!vm->individualFiles().isEmpty());
    m_clearAll->setEnabled(!busy);

    const QUrl folder = vm->effectiveOutputFolder();
    m_outputPath->setVisible(!folder.isEmpty());
    m_outputPath->setText(folder.toLocalFile());
    const bool isDefault = vm->outputFolder().isEmpty();
    const QColor pathColor = isDefault ? theme::secondary() : theme::primary();
    if (m_outputPath->font().italic() != isDefault ||
        m_outputPath->palette().color(QPalette::WindowText) != pathColor) {
        QFont pathFont = theme::subheadline();
        pathFont.setItalic(isDefault);
        theme::style(m_outputPath, pathFont, pathColor);
    }
    m_chooseOutput->setEnabled(!busy);

    m_progress->setVisible(processing);
    m_progress->setValue(int(vm->overallProgress() * 1000.0 + 0.5));
    m_status->setText(m_notice.isEmpty() ? vm->statusMessage() : m_notice);
    // The run's summary says its time and counts what needs a look.
    const bool attention = !processing && vm->lastReport() && !vm->lastReport()->isClean() &&
                           vm->lastReport()->outcome != RunOutcome::cancelled;
    const QColor statusColor =
        attention || !m_notice.isEmpty() ? theme::orange() : theme::secondary();
    if (m_status->palette().color(QPalette::WindowText) != statusColor)
        theme::style(m_status, theme::caption(), statusColor);

    m_cancel->setVisible(processing);
    const auto validation = vm->validationMessage();
    m_validation->setVisible(!processing && validation.has_value());
    m_validation->setText(validation.value_or(QString()));
    const bool chosen = !vm->referenceFile().isEmpty() || !vm->individualFiles().isEmpty() ||
                        !vm->outputFolder().isEmpty();
    m_reset->setVisible(!processing && chosen);
    m_reset->setEnabled(!busy);
    m_sync->setVisible(!processing);
    const bool canSync = vm->canSync();
    m_sync->setEnabled(canSync);
    m_sync->setDefault(canSync);
    // Restyling re-polishes the button: only when the prominence changes.
    if (canSync != syncIsProminent()) {
        const QColor accent = theme::accent();
        m_sync->setStyleSheet(canSync
                                  ? kProminentStyle.arg(accent.name(), accent.darker(125).name(),
                                                        accent.lighter(112).name())
                                  : QString());
    }
}

} // namespace corvale
