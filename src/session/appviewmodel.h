// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "audiofileitem.h"
#include "itemanalysis.h"
#include "runcontroller.h"
#include "runreport.h"
#include "runsettings.h"
#include "sessionhost.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QUrl>

#include <functional>
#include <memory>
#include <optional>

namespace corvale {

// The one session: what the user chose (the selection), the state of the current run, and the
// operations the window, the menus, the command line and outside requests call. The runs
// themselves belong to its RunController; the session maps their events and reports onto the
// list's items, and is the only one that does. Lives on the GUI thread; every field notifies
// only when its value really changes.
class AppViewModel : public QObject {
    Q_OBJECT
    Q_PROPERTY(QUrl referenceFile READ referenceFile NOTIFY referenceFileChanged)
    Q_PROPERTY(QUrl outputFolder READ outputFolder WRITE setOutputFolder NOTIFY outputFolderChanged)
    Q_PROPERTY(bool isProcessing READ isProcessing NOTIFY isProcessingChanged)
    Q_PROPERTY(double overallProgress READ overallProgress NOTIFY overallProgressChanged)
    Q_PROPERTY(QString statusMessage READ statusMessage NOTIFY statusMessageChanged)
    Q_PROPERTY(QString elapsedTime READ elapsedTimeText NOTIFY elapsedTimeChanged)
    Q_PROPERTY(bool headlessMode READ headlessMode WRITE setHeadlessMode NOTIFY headlessModeChanged)
    Q_PROPERTY(bool canSync READ canSync NOTIFY canSyncChanged)

public:
    // ffmpegPath: the located tool; by default findFFmpeg(). host: the seams (not owned; the
    // default host is used when null).
    explicit AppViewModel(QObject* parent = nullptr);
    AppViewModel(std::optional<QString> ffmpegPath, SessionHost* host, QObject* parent = nullptr);
    ~AppViewModel() override;

    // Chosen inputs. An empty URL means absent.
    [[nodiscard]] QUrl referenceFile() const { return m_referenceFile; }
    [[nodiscard]] const QList<AudioFileItem*>& individualFiles() const { return m_files; }
    [[nodiscard]] QUrl outputFolder() const { return m_outputFolder; }
    void setOutputFolder(const QUrl& folder);

    // Run state.
    [[nodiscard]] bool isProcessing() const { return m_isProcessing; }
    [[nodiscard]] double overallProgress() const { return m_overallProgress; }
    [[nodiscard]] QString statusMessage() const { return m_statusMessage; }
    [[nodiscard]] std::optional<QString> elapsedTime() const { return m_elapsedTime; }
    [[nodiscard]] QString elapsedTimeText() const { return m_elapsedTime.value_or(QString()); }
    [[nodiscard]] std::optional<QString> ffmpegPath() const { return m_ffmpegPath; }
    [[nodiscard]] bool headlessMode() const { return m_headlessMode; }
    void setHeadlessMode(bool on);
    void setRestoreAfterHeadless(std::function<void()> restore);
    // Output paths handed out during the current run.
    [[nodiscard]] QSet<QString> reservedOutputPaths() const;

    [[nodiscard]] std::optional<QString> validationMessage() const;
    [[nodiscard]] QUrl effectiveOutputFolder() const;
    [[nodiscard]] bool canSync() const;
    // Files of the last run that were written but need a listen (not found included).
    [[nodiscard]] int reviewCount() const;
    // A run has started and not yet reached its end (also while a cancelled run winds down).
    [[nodiscard]] bool runUnderWay() const { return m_runs.runUnderWay(); }
    // The last ended run's report: what every front end reads.
    [[nodiscard]] const std::optional<RunReport>& lastReport() const { return m_runs.lastReport(); }
    // Why the last run could not use the reference; empty otherwise.
    [[nodiscard]] QString referenceProblem() const;

    // File selection. Changes are refused while a run is under way.
    void addReferenceFile(const QUrl& url);
    // As above, with auto-populate on or off for this call instead of the preference.
    void addReferenceFileWith(const QUrl& url, bool autoPopulateFiles);
    void addIndividualFiles(const QList<QUrl>& urls);
    void removeFile(const AudioFileItem* item);
    void clearIndividualFiles();
    void chooseReferenceFile();
    void chooseIndividualFiles();
    void autoPopulate(const QUrl& reference);

    // Starts a run with the preferences as they are now, or with the given settings.
    void startProcessing();
    void startProcessingWith(const RunSettings& settings);
    void cancelProcessing();
    void resetSession();
    void endHeadless();
    // The way out of the process: cancels a run, ends its children, waits for its background
    // work (at most timeoutMs, and never past RunController::kMaxShutdownMs) and removes what is
    // unfinished.
    void shutdown(int timeoutMs = RunController::kMaxShutdownMs);

    [[nodiscard]] static QString formatElapsed(double seconds);

    // The analysis of an item in the last run that analysed it (offset in samples, margin,
    // stereo verdict, drift figures); for reports that need more than the item's result.
    [[nodiscard]] std::optional<ItemAnalysis> analysisOf(const AudioFileItem* item) const;
    // The last ended run's report of an item that took part in it.
    [[nodiscard]] const ItemReport* reportOf(const AudioFileItem* item) const;

signals:
    void referenceFileChanged();
    void individualFilesChanged();
    void outputFolderChanged();
    void isProcessingChanged();
    void overallProgressChanged();
    void statusMessageChanged();
    void elapsedTimeChanged();
    void headlessModeChanged();
    void canSyncChanged();
    void referenceProblemChanged();
    // Emitted last when a run has fully ended (after its cleanup, the status, the elapsed
    // time and the sound), cancelled or not, with how it ended.
    void runEnded(corvale::RunOutcome outcome);
    // Something asked for was not done; text says what and why, for the status line.
    void notice(const QString& text);

private:
    void setIsProcessing(bool on);
    void setOverallProgress(double progress);
    void setStatusMessage(const QString& text);
    void setElapsedTime(const std::optional<QString>& text);
    void setFiles(QList<AudioFileItem*> files);
    void finishRun(const RunReport& report);
    [[nodiscard]] AudioFileItem* runItem(qsizetype index) const;
    void updateCanSync();

    SessionHost m_defaultHost;
    SessionHost* m_host;
    QUrl m_referenceFile;
    QList<AudioFileItem*> m_files;
    QUrl m_outputFolder;
    bool m_isProcessing = false;
    double m_overallProgress = 0.0;
    QString m_statusMessage = QStringLiteral("Ready");
    std::optional<QString> m_elapsedTime;
    std::optional<QString> m_ffmpegPath;
    bool m_headlessMode = false;
    std::function<void()> m_restoreAfterHeadless;
    RunSettings m_runSettings;
    // The items of the current or last run, in the order of its inputs.
    QList<QPointer<AudioFileItem>> m_runItems;
    bool m_canSync = false;
    RunController m_runs;
};

} // namespace corvale
