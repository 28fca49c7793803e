// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QPointer>
#include <QUrl>
#include <QWidget>

#include <functional>
#include <optional>

class QLabel;
class QProgressBar;
class QPushButton;
class QTimer;

namespace corvale {

class AppViewModel;
class ElidedLabel;
class FilesListView;
class GlyphLabel;
class ReferenceDropZone;

// The main window's content: header, the reference and the files to sync, the output folder
// and the footer with the run's progress and actions. Holds no state of its own; every
// control calls the session and every session change redraws.
class ContentView : public QWidget {
    Q_OBJECT
public:
    // Shows the folder chooser starting in `start` (may be empty); nothing when cancelled.
    using FolderChooser = std::function<std::optional<QUrl>(QWidget* parent, const QUrl& start)>;

    explicit ContentView(AppViewModel* session, QWidget* parent = nullptr);

    void setFolderChooser(FolderChooser chooser) { m_chooseFolder = std::move(chooser); }
    void chooseOutputFolder();
    // A short word in the status line about something refused or not possible; it stays until
    // the session says something new or kNoticeMs pass.
    void showNotice(const QString& text);
    static constexpr int kNoticeMs = 10000;
    [[nodiscard]] QString notice() const { return m_notice; }

    [[nodiscard]] AppViewModel* session() const { return m_session; }
    [[nodiscard]] ReferenceDropZone* referenceZone() const { return m_reference; }
    [[nodiscard]] FilesListView* filesList() const { return m_files; }
    [[nodiscard]] QPushButton* clearAllButton() const { return m_clearAll; }
    [[nodiscard]] QPushButton* addFilesButton() const { return m_addFiles; }
    [[nodiscard]] QPushButton* syncButton() const { return m_sync; }
    [[nodiscard]] QPushButton* resetButton() const { return m_reset; }
    [[nodiscard]] QPushButton* cancelButton() const { return m_cancel; }
    [[nodiscard]] QPushButton* chooseOutputButton() const { return m_chooseOutput; }
    [[nodiscard]] QProgressBar* progressBar() const { return m_progress; }
    [[nodiscard]] ElidedLabel* statusLabel() const { return m_status; }
    [[nodiscard]] QLabel* validationLabel() const { return m_validation; }
    [[nodiscard]] GlyphLabel* ffmpegWarning() const { return m_ffmpegMissing; }
    [[nodiscard]] ElidedLabel* outputPath() const { return m_outputPath; }
    // The sync button is the filled, accent-coloured one.
    [[nodiscard]] bool syncIsProminent() const;

private:
    QWidget* buildHeader();
    QWidget* buildInputs();
    QWidget* buildFooter();
    void refresh();
    void refreshFiles();

    AppViewModel* m_session;
    FolderChooser m_chooseFolder;
    GlyphLabel* m_ffmpegMissing = nullptr;
    ReferenceDropZone* m_reference = nullptr;
    FilesListView* m_files = nullptr;
    QPushButton* m_clearAll = nullptr;
    QPushButton* m_addFiles = nullptr;
    QTimer* m_noticeTimer;
    QString m_notice;
    ElidedLabel* m_outputPath = nullptr;
    QPushButton* m_chooseOutput = nullptr;
    QProgressBar* m_progress = nullptr;
    ElidedLabel* m_status = nullptr;
    QLabel* m_validation = nullptr;
    QPushButton* m_cancel = nullptr;
    QPushButton* m_reset = nullptr;
    QPushButton* m_sync = nullptr;
};

} // namespace corvale
