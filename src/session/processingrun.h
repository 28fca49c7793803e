// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "audio/result.h"
#include "itemanalysis.h"
#include "outputnaming.h"
#include "outputstage.h"
#include "processingstatus.h"
#include "runreport.h"
#include "runsettings.h"
#include "sync/syncengine.h"
#include "trackanalysis.h"

#include <QDeadlineTimer>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QThreadPool>
#include <QUrl>

#include <deque>
#include <memory>
#include <optional>
#include <stop_token>
#include <vector>

namespace corvale {

class RunWork;

// Conversions run at most one per core, the reference's first in line: every analysis waits
// for it, and more ffmpeg processes than cores only finish all of them later.
[[nodiscard]] int conversionSlots();
// Analyses (and the searches in them) running while conversions still do: one core is left to
// ffmpeg. Once the last conversion is done, the pool's size is the only bound.
[[nodiscard]] int analysisSlotsBesideConversions();

// One sync run: converts every input, analyses every file against the shared reference and
// hands the analyses to the output stage. It knows nothing of the session that started it:
// it receives the inputs, the run's settings and the tool, reports each input's steps as
// events, and ends with one RunReport. Works on its own thread, handing heavy work to the
// pool. ended() comes once, after every child process and background task has ended and the
// temporary folder is gone.
class ProcessingRun : public QObject {
    Q_OBJECT
public:
    struct Request {
        QList<QUrl> inputs;
        QUrl reference;
        QString outputFolder;
        QString ffmpegPath;
        RunSettings settings;
    };

    ProcessingRun(Request request, QThreadPool* pool, QObject* parent = nullptr);
    ~ProcessingRun() override;

    void start();
    void cancel();
    [[nodiscard]] bool isCancelled() const { return m_stop.stop_requested(); }
    [[nodiscard]] bool hasEnded() const { return m_ended; }
    [[nodiscard]] QSet<QString> reservedOutputPaths() const { return m_names->reserved(); }
    [[nodiscard]] double sampleRate() const { return m_sampleRate; }
    [[nodiscard]] const QString& tempFolder() const { return m_tempFolder; }
    // The report as it stands: final once ended() has come.
    [[nodiscard]] const RunReport& report() const { return m_report; }
    // Cancels and waits, until the deadline at the latest, for the children and background
    // work to end, then removes the temporary folder and unfinished outputs. For the way out
    // of the process. False when background work is still running: the run must then never be
    // destroyed.
    bool shutdown(QDeadlineTimer deadline);

signals:
    void statusMessageChanged(const QString& text);
    void progressChanged(double progress);
    // Input index moved on to a step (converting, analyzing, processing, normalizing).
    void itemStep(qsizetype index, corvale::ProcessingStatus::Kind step);
    // Input index reached its end (report().items[index] holds it).
    void itemEnded(qsizetype index);
    void ended(const corvale::RunReport& report);

private:
    struct Conversion {
        bool stereo = false;
        std::optional<Result<QString>> result;
        bool analysisStarted = false;
    };
    struct Probe {
        double sampleRate = 0.0; // 0: not known
        int channels = 1;
        bool regularFile = true;      // false: a pipe, a device, a folder; never opened
        double durationSeconds = 0.0; // 0: not known
    };

    void probeInputs();
    void startConversions(const std::vector<Probe>& probes);
    void startQueuedConversions();
    void onConversionDone(qsizetype index, Result<QString> result);
    void onReferenceConverted(Result<QString> result);
    void startReferenceCopy(const QString& referenceWAV);
    void onReferenceLoaded(const QString& referenceWAV, Result<PreparedReference> envelope);
    void startReadyAnalyses();
    void startAnalysis(qsizetype index);
    void onAnalysisEnded(qsizetype index, const QString& wav, Result<TrackAnalysisResult> result);
    void onAnalysisChildDone(qsizetype index, std::optional<ItemAnalysis> analysis);
    void startOutputPhase();
    OutputStage* outputStage();
    void addCompletedSteps(double steps);
    // Conversion slot 0 is the reference's, slot i + 1 input i's.
    void conversionProgressed(std::size_t slot, double seconds);
    void conversionEnded(std::size_t slot);
    void emitProgress();
    void failRun(const QString& text, const std::optional<ItemFailure>& cause = std::nullopt);
    void endItem(qsizetype index, ItemOutcome outcome);
    void endPipeline();
    void maybeEnd();

    Request m_request;
    RunWork* m_work;
    OutputStage* m_output = nullptr;
    std::stop_source m_stop;           // the user's cancel and the way out
    std::stop_source m_conversionStop; // also ends the files' conversions at a run failure
    std::shared_ptr<OutputNameReserver> m_names;
    QString m_tempFolder;
    QString m_ffprobe;
    double m_sampleRate = 44100.0;
    int m_referenceChannels = 1;
    std::unique_ptr<SyncEngine> m_engine;
    std::vector<Conversion> m_conversions;
    std::deque<qsizetype> m_conversionQueue; // inputs waiting for a conversion slot
    int m_conversionsRunning = 0;
    int m_analysesRunning = 0;
    std::shared_ptr<const std::vector<float>> m_referenceEnvelope;
    std::optional<FineReference> m_fineReference;        // set when the fine stage is to run
    std::vector<std::optional<ItemAnalysis>> m_analyses; // those waiting for the grouping
    QList<bool> m_standsAlone;                           // written as soon as analysed, not grouped
    RunReport m_report;
    qsizetype m_analysesPending = 0;
    double m_completedSteps = 0.0;
    // Seconds converted and expected per conversion slot; together they count as one step,
    // so the bar moves while hour-long files convert.
    std::vector<double> m_converted;
    std::vector<double> m_durations;
    double m_shownProgress = 0.0;
    double m_totalSteps = 0.0;
    bool m_pipelineDone = false;
    bool m_ended = false;
};

} // namespace corvale
