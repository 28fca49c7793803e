// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "audio/result.h"
#include "itemanalysis.h"
#include "outputnaming.h"
#include "sync/syncengine.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QThreadPool>
#include <QUrl>

#include <memory>
#include <optional>
#include <stop_token>
#include <vector>

namespace corvale {

class AppViewModel;
class AudioFileItem;
class ProcessingStatus;

// One sync run: converts every input, analyses every file against the shared reference,
// writes the outputs and finishes them. Works on the GUI thread and hands heavy work to a
// thread pool; every state change happens here, on the GUI thread. Emits ended() once, after
// every child process and background task has ended and the temporary folder is gone.
class ProcessingRun : public QObject {
    Q_OBJECT
public:
    struct Inputs {
        QList<QPointer<AudioFileItem>> items;
        QUrl reference;
        QString outputFolder;
        QString ffmpegPath;
    };

    ProcessingRun(AppViewModel* session, Inputs inputs, QThreadPool* pool);
    ~ProcessingRun() override;

    void start();
    void cancel();
    [[nodiscard]] bool isCancelled() const { return m_stop.stop_requested(); }
    // The run stopped at a run-wide failure whose text stays in the status line.
    [[nodiscard]] bool failed() const { return m_failed; }
    [[nodiscard]] bool hasEnded() const { return m_ended; }
    [[nodiscard]] const QSet<QString>& reservedOutputPaths() const { return m_names.reserved(); }
    [[nodiscard]] double sampleRate() const { return m_sampleRate; }
    [[nodiscard]] const QString& tempFolder() const { return m_tempFolder; }
    // Cancels and waits, at most timeoutMs, for the children and background work to end, then
    // removes the temporary folder. For the way out of the process. False when background work
    // is still running: the run must then never be destroyed.
    bool shutdown(int timeoutMs);

signals:
    void ended();

private:
    struct Conversion {
        bool stereo = false;
        std::optional<Result<QString>> result;
        bool analysisStarted = false;
    };
    struct Probe {
        double sampleRate = 0.0; // 0: not known
        int channels = 1;
    };

    void probeInputs();
    void startConversions(const std::vector<Probe>& probes);
    void onReferenceConverted(Result<QString> result);
    void startReferenceCopy(const QString& referenceWAV);
    void onReferenceLoaded(Result<std::vector<float>> envelope);
    void startAnalysis(qsizetype index);
    void onAnalysisChildDone(qsizetype index, std::optional<ItemAnalysis> analysis);
    void startOutputPhase();
    void writeGroup(const OutputGroup& group);
    void finishGroup(const OutputGroup& group, const QUrl& out, const std::optional<QUrl>& right);
    void normalizeOutputs(QList<QUrl> files, double target, std::function<void(bool)> done);
    void completeGroup(const OutputGroup& group, const QUrl& out, const std::optional<QUrl>& right,
                       std::optional<double> normalizedLUFS);
    void addCompletedSteps(double steps);
    void failRun(const QString& text);
    void endPipeline();
    void maybeEnd();
    void setItemStatus(const AudioFileItem* item, const ProcessingStatus& status);
    void setItemStatus(qsizetype index, const ProcessingStatus& status);
    void setStatusMessage(const QString& text);

    template <typename Work, typename Done> void offThread(Work work, Done done);

    AppViewModel* m_session;
    Inputs m_inputs;
    QThreadPool* m_pool;
    std::stop_source m_stop;           // the user's cancel and the way out
    std::stop_source m_conversionStop; // also ends the files' conversions at a run failure
    OutputNameReserver m_names;
    QString m_tempFolder;
    double m_sampleRate = 44100.0;
    int m_referenceChannels = 1;
    std::unique_ptr<SyncEngine> m_engine;
    std::vector<Conversion> m_conversions;
    std::shared_ptr<const std::vector<float>> m_referenceEnvelope;
    std::optional<FineReference> m_fineReference; // set when the fine stage is to run
    std::vector<std::optional<ItemAnalysis>> m_analyses;
    qsizetype m_analysesPending = 0;
    qsizetype m_groupsPending = 0;
    double m_completedSteps = 0.0;
    double m_totalSteps = 0.0;
    int m_outstanding = 0;
    bool m_pipelineDone = false;
    bool m_failed = false;
    bool m_ended = false;
};

// Runs work on the pool and done(result) back on the run's thread. The run outlives every
// task it counts (shutdown waits for them), so the raw pointer stays valid.
template <typename Work, typename Done> void ProcessingRun::offThread(Work work, Done done) {
    ++m_outstanding;
    ProcessingRun* self = this;
    m_pool->start([self, work = std::move(work), done = std::move(done)]() mutable {
        auto value = std::make_shared<decltype(work())>(work());
        QMetaObject::invokeMethod(
            self,
            [self, value, done]() mutable {
                --self->m_outstanding;
                done(std::move(*value));
                self->maybeEnd();
            },
            Qt::QueuedConnection);
    });
}

} // namespace corvale
