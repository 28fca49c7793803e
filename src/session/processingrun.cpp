// SPDX-License-Identifier: GPL-3.0-or-later
#include "processingrun.h"

#include "audio/audioconverter.h"
#include "audio/ffmpeglocator.h"
#include "audio/toolrunner.h"
#include "audio/unpublishedfile.h"
#include "filecopy.h"
#include "runfolder.h"
#include "runwork.h"
#include "trackanalysis.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QThread>

#include <algorithm>
#include <filesystem>

#include <sys/stat.h>

namespace corvale {
namespace {

// stat() tells a pipe or a device without opening it. A missing file is left to the tools,
// whose message says so.
bool isSpecialFile(const QString& path) {
    struct stat info {};
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 && !S_ISREG(info.st_mode);
}

QString notRegularText(const QString& path) {
    return QStringLiteral("“%1” is not a regular file (a pipe, a device or a folder); only "
                          "audio or video files can be synced")
        .arg(QFileInfo(path).fileName());
}

} // namespace

int conversionSlots() {
    return std::max(1, QThread::idealThreadCount());
}

int analysisSlotsBesideConversions() {
    return std::max(1, QThread::idealThreadCount() - 1);
}

ProcessingRun::ProcessingRun(Request request, QThreadPool* pool, QObject* parent)
    : QObject(parent), m_request(std::move(request)), m_work(new RunWork(pool, this)),
      m_names(std::make_shared<OutputNameReserver>()) {
    connect(m_work, &RunWork::settled, this, &ProcessingRun::maybeEnd);
    for (const QUrl& input : m_request.inputs)
        m_report.items.append(ItemReport{input, ItemCancelled{}, std::nullopt});
}

ProcessingRun::~ProcessingRun() = default;

void ProcessingRun::start() {
    // A cancel can arrive before the deferred start; nothing is then touched.
    if (isCancelled()) {
        endPipeline();
        return;
    }
    auto folder = createRunFolder(QDir::tempPath());
    if (!folder) {
        failRun(QStringLiteral("Cannot create temp folder: ") + folder.error().errorDescription(),
                ItemFailure{RunStep::convert, QDir::tempPath(), folder.error()});
        endPipeline();
        return;
    }
    m_tempFolder = folder.value();
    // What runs killed before they could clean up left behind (it can be gigabytes).
    m_work->offThread([] { return removeStaleRunFolders(QDir::tempPath()); }, [](int) {});
    std::error_code ec;
    std::filesystem::create_directories(
        std::filesystem::path(QFile::encodeName(m_request.outputFolder).toStdString()), ec);
    if (ec) {
        failRun(QStringLiteral("Cannot create output folder: ") +
                    QString::fromStdString(ec.message()),
                ItemFailure{RunStep::write, m_request.outputFolder,
                            CorvaleError::passedOn(QString::fromStdString(ec.message()))});
        endPipeline();
        return;
    }
    // Where unnamed files are not to be had, a killed run's hidden partial outputs.
    m_work->offThread([folder = m_request.outputFolder] { return removeDeadPartials(folder); },
                      [](int) {});
    emit statusMessageChanged(QStringLiteral("Converting…"));
    for (qsizetype i = 0; i < m_request.inputs.size(); ++i)
        emit itemStep(i, ProcessingStatus::Kind::converting);
    probeInputs();
}

void ProcessingRun::cancel() {
    m_stop.request_stop();
    m_conversionStop.request_stop();
}

void ProcessingRun::probeInputs() {
    m_ffprobe = findFFprobe(m_request.ffmpegPath);
    QStringList paths{m_request.reference.toLocalFile()};
    for (const QUrl& input : m_request.inputs)
        paths << input.toLocalFile();
    auto probes = std::make_shared<std::vector<Probe>>(static_cast<std::size_t>(paths.size()));
    auto pending = std::make_shared<qsizetype>(paths.size());
    for (qsizetype i = 0; i < paths.size(); ++i) {
        m_work->offThread(
            [path = paths[i], ffprobe = m_ffprobe] {
                // Opening a named pipe or a device can wait for ever, in this process or in a
                // tool: such a file is refused before anything opens it.
                if (isSpecialFile(path))
                    return Probe{0.0, 1, false};
                const AudioFormat format = probeAudioFormat(path, ffprobe);
                return Probe{format.rateKnown ? format.sampleRate : 0.0, format.channels, true,
                             format.durationSeconds};
            },
            [this, probes, pending, i](Probe probe) {
                (*probes)[static_cast<std::size_t>(i)] = probe;
                if (--*pending == 0)
                    startConversions(*probes);
            });
    }
}

void ProcessingRun::startConversions(const std::vector<Probe>& probes) {
    if (isCancelled()) {
        endPipeline();
        return;
    }
    if (!probes.front().regularFile) {
        const QString path = m_request.reference.toLocalFile();
        failRun(QStringLiteral("The reference ") + notRegularText(path),
                ItemFailure{RunStep::probe, path, CorvaleError::passedOn(notRegularText(path))});
        endPipeline();
        return;
    }
    // Without ffprobe a rate libsndfile cannot read would be a guess, and a wrong guess
    // writes every output at the wrong speed.
    if (m_ffprobe.isEmpty()) {
        for (std::size_t i = 0; i < probes.size(); ++i) {
            if (probes[i].sampleRate > 0.0 || !probes[i].regularFile)
                continue;
            const QUrl url = i == 0 ? m_request.reference : m_request.inputs[qsizetype(i - 1)];
            const QString text =
                QStringLiteral("Cannot read the sample rate of “%1” — ffprobe not found. "
                               "Install it with: sudo apt install ffmpeg")
                    .arg(QFileInfo(url.toLocalFile()).fileName());
            failRun(text,
                    ItemFailure{RunStep::probe, url.toLocalFile(), CorvaleError::passedOn(text)});
            endPipeline();
            return;
        }
    }
    // Every output is written at the run's rate, so a narrow-band call reference must not
    // lower the rate of the studio tracks: take the highest native rate of all inputs. A file
    // whose rate cannot be read (it will fail to convert) does not count.
    m_sampleRate = 0.0;
    for (const Probe& probe : probes)
        m_sampleRate = std::max(m_sampleRate, probe.sampleRate);
    if (m_sampleRate <= 0.0)
        m_sampleRate = 44100.0;
    m_referenceChannels = probes.front().channels;
    m_engine = std::make_unique<SyncEngine>(m_sampleRate);
    // Every conversion together is one step; each file then an analysis and a write.
    m_totalSteps = 2.0 * double(m_request.inputs.size()) + 1.0;
    m_converted.assign(probes.size(), 0.0);
    m_durations.clear();
    for (const Probe& probe : probes)
        m_durations.push_back(probe.durationSeconds);

    ++m_conversionsRunning;
    AudioConverter(m_request.ffmpegPath)
        .convertToWAV({m_request.reference.toLocalFile(), m_tempFolder, QStringLiteral("_ref"),
                       m_referenceChannels >= 2, m_sampleRate},
                      m_stop.get_token(), this,
                      m_work->track<Result<QString>>([this](Result<QString> result) {
                          --m_conversionsRunning;
                          conversionEnded(0);
                          onReferenceConverted(std::move(result));
                          startQueuedConversions();
                      }),
                      [this](double seconds) { conversionProgressed(0, seconds); });
    m_conversions.assign(static_cast<std::size_t>(m_request.inputs.size()), {});
    for (qsizetype i = 0; i < m_request.inputs.size(); ++i) {
        const auto index = static_cast<std::size_t>(i);
        m_conversions[index].stereo = probes[index + 1].channels >= 2;
        if (!probes[index + 1].regularFile) {
            m_conversions[index].result =
                CorvaleError::passedOn(notRegularText(m_request.inputs[i].toLocalFile()));
            conversionEnded(index + 1);
            continue;
        }
        m_conversionQueue.push_back(i);
    }
    startQueuedConversions();
}

void ProcessingRun::startQueuedConversions() {
    while (!m_conversionQueue.empty() && m_conversionsRunning < conversionSlots()) {
        const qsizetype i = m_conversionQueue.front();
        m_conversionQueue.pop_front();
        // After a cancel or a run failure the files waiting in line end as cancelled ones.
        if (m_conversionStop.stop_requested()) {
            conversionEnded(std::size_t(i) + 1);
            onConversionDone(i, CorvaleError::cancelled());
            continue;
        }
        ++m_conversionsRunning;
        AudioConverter(m_request.ffmpegPath)
            .convertToWAV(
                {m_request.inputs[i].toLocalFile(), m_tempFolder,
                 QStringLiteral("_ind") + QString::number(i),
                 m_conversions[static_cast<std::size_t>(i)].stereo, m_sampleRate},
                m_conversionStop.get_token(), this,
                m_work->track<Result<QString>>([this, i](Result<QString> result) {
                    --m_conversionsRunning;
                    conversionEnded(std::size_t(i) + 1);
                    onConversionDone(i, std::move(result));
                    startQueuedConversions();
                }),
                [this, i](double seconds) { conversionProgressed(std::size_t(i) + 1, seconds); });
    }
}

void ProcessingRun::onConversionDone(qsizetype index, Result<QString> result) {
    m_conversions[static_cast<std::size_t>(index)].result = std::move(result);
    startReadyAnalyses();
}

void ProcessingRun::onReferenceConverted(Result<QString> result) {
    if (m_pipelineDone)
        return;
    // A cancelled conversion ends like a failed one; the flag tells them apart.
    if (isCancelled()) {
        endPipeline();
        return;
    }
    if (!result) {
        failRun(QStringLiteral("Reference conversion failed: ") + result.error().errorDescription(),
                ItemFailure{RunStep::convert, m_request.reference.toLocalFile(), result.error()});
        endPipeline();
        return;
    }
    const QString referenceWAV = result.value();
    const bool monoWav =
        QFileInfo(m_request.reference.path()).suffix().toLower() == QStringLiteral("wav") &&
        m_referenceChannels == 1;
    if (!monoWav)
        startReferenceCopy(referenceWAV);
    else
        m_report.referenceCopy.state = ReferenceCopyReport::State::notNeeded;
    emit statusMessageChanged(QStringLiteral("Loading reference audio…"));
    m_work->offThread(
        [engine = *m_engine, referenceWAV, stereo = m_referenceChannels >= 2,
         precise = m_request.settings.preciseAlignment, stop = m_stop.get_token()] {
            return prepareReference(engine, referenceWAV, stereo, precise, stop);
        },
        [this, referenceWAV](Result<PreparedReference> prepared) {
            onReferenceLoaded(referenceWAV, std::move(prepared));
        });
}

void ProcessingRun::startReferenceCopy(const QString& referenceWAV) {
    const QString folder = m_request.outputFolder;
    const QString base = baseName(m_request.reference);
    const QString destination = m_names->uniqueReferenceCopyURL(folder, base).toLocalFile();
    NextName next = [names = m_names, folder, base]() -> std::optional<QString> {
        const QUrl url = names->uniqueReferenceCopyURL(folder, base);
        return url.isEmpty() ? std::nullopt : std::optional(url.toLocalFile());
    };
    if (destination.isEmpty()) {
        m_report.referenceCopy.state = ReferenceCopyReport::State::failed;
        m_report.referenceCopy.failure =
            ItemFailure{RunStep::write, QDir(folder).filePath(base + QStringLiteral(".wav")),
                        CorvaleError::cannotWriteAudio(
                            QStringLiteral("the name is too long for the file system"))};
        return;
    }
    // Until it is in place the copy counts as unfinished, like any output.
    m_report.referenceCopy.state = ReferenceCopyReport::State::cancelled;
    m_work->offThread(
        [referenceWAV, destination, next, stop = m_stop.get_token()] {
            return copyFileSafely(referenceWAV, destination, stop, next);
        },
        [this, destination](Result<QString> copied) {
            ReferenceCopyReport& copy = m_report.referenceCopy;
            if (copied) {
                copy.state = ReferenceCopyReport::State::written;
                copy.path = copied.value();
            } else if (!copied.error().isCancellation() && !isCancelled()) {
                copy.state = ReferenceCopyReport::State::failed;
                copy.failure = ItemFailure{RunStep::write, destination, copied.error()};
            }
        });
}

void ProcessingRun::onReferenceLoaded(const QString& referenceWAV,
                                      Result<PreparedReference> envelope) {
    if (isCancelled()) {
        endPipeline();
        return;
    }
    if (!envelope) {
        failRun(QStringLiteral("Cannot read reference audio: ") +
                    envelope.error().errorDescription(),
                ItemFailure{RunStep::analyze, m_request.reference.toLocalFile(), envelope.error()});
        endPipeline();
        return;
    }
    m_referenceEnvelope =
        std::make_shared<const std::vector<float>>(std::move(envelope.value().envelope));
    const bool stereo = m_referenceChannels >= 2;
    if (m_request.settings.preciseAlignment)
        m_fineReference =
            FineReference{referenceWAV, stereo,
                          std::make_shared<WaveformReference>(referenceWAV, stereo,
                                                              std::move(envelope.value().search))};
    const qsizetype n = m_request.inputs.size();
    emit statusMessageChanged(QStringLiteral("Processing %1 file%2…")
                                  .arg(n)
                                  .arg(n == 1 ? QString() : QStringLiteral("s")));
    m_analyses.assign(static_cast<std::size_t>(n), std::nullopt);
    m_standsAlone = standsAlone(m_request.inputs, m_request.settings.renameForDropbox);
    m_analysesPending = n;
    if (n == 0) {
        startOutputPhase();
        return;
    }
    startReadyAnalyses();
}

void ProcessingRun::startReadyAnalyses() {
    if (!m_referenceEnvelope || m_pipelineDone)
        return;
    const bool converting = m_conversionsRunning > 0 || !m_conversionQueue.empty();
    for (qsizetype i = 0; i < qsizetype(m_conversions.size()); ++i) {
        if (converting && m_analysesRunning >= analysisSlotsBesideConversions())
            return;
        const Conversion& conversion = m_conversions[static_cast<std::size_t>(i)];
        if (conversion.result && !conversion.analysisStarted)
            startAnalysis(i);
    }
}

void ProcessingRun::startAnalysis(qsizetype index) {
    Conversion& conversion = m_conversions[static_cast<std::size_t>(index)];
    conversion.analysisStarted = true;
    const Result<QString>& converted = *conversion.result;
    if (!converted || isCancelled()) {
        if (!isCancelled())
            endItem(index, ItemFailure{RunStep::convert, m_request.inputs[index].toLocalFile(),
                                       converted.error()});
        onAnalysisChildDone(index, std::nullopt);
        return;
    }
    emit itemStep(index, ProcessingStatus::Kind::analyzing);
    const QString wav = converted.value();
    ++m_analysesRunning;
    m_work->offThread(
        [engine = *m_engine, wav, stereo = conversion.stereo, reference = m_referenceEnvelope,
         fine = m_fineReference, stop = m_stop.get_token()] {
            return analyzeTrack(engine, wav, stereo, *reference, stop, fine);
        },
        [this, index, wav](Result<TrackAnalysisResult> result) {
            --m_analysesRunning;
            onAnalysisEnded(index, wav, std::move(result));
            startReadyAnalyses();
        });
}

void ProcessingRun::onAnalysisEnded(qsizetype index, const QString& wav,
                                    Result<TrackAnalysisResult> result) {
    if (!result || isCancelled()) {
        if (!isCancelled())
            endItem(index, ItemFailure{RunStep::analyze, m_request.inputs[index].toLocalFile(),
                                       result.error()});
        onAnalysisChildDone(index, std::nullopt);
        return;
    }
    const TrackAnalysisResult& r = result.value();
    ItemAnalysis analysis;
    analysis.index = index;
    analysis.url = m_request.inputs[index];
    analysis.indWAV = wav;
    analysis.stereo = r.stereo;
    analysis.offset = r.offset;
    analysis.drift = r.drift;
    analysis.durationSeconds = double(r.frameCount) / m_sampleRate;
    analysis.sampleRate = m_sampleRate;
    analysis.referenceDurationSeconds =
        double(m_referenceEnvelope->size() * m_engine->hopSamples()) / m_sampleRate;
    analysis.quietMap = r.quietMap;
    analysis.fine = r.fine;
    analysis.placement = r.placement;
    m_report.items[index].analysis = analysis;
    // A file no other can join is written now, beside the other analyses, rather than
    // after the last of them; its converted file goes as soon as it is written.
    if (m_standsAlone[index]) {
        outputStage()->write(OutputGroup{analysis});
        onAnalysisChildDone(index, std::nullopt);
        return;
    }
    onAnalysisChildDone(index, std::move(analysis));
}

void ProcessingRun::onAnalysisChildDone(qsizetype index, std::optional<ItemAnalysis> analysis) {
    m_analyses[static_cast<std::size_t>(index)] = std::move(analysis);
    addCompletedSteps(1.0);
    if (--m_analysesPending == 0)
        startOutputPhase();
}

void ProcessingRun::startOutputPhase() {
    // Every analysis is done: the searches' copy of the reference is not needed any more.
    if (m_fineReference)
        m_fineReference->waveform.reset();
    if (isCancelled()) {
        endPipeline();
        return;
    }
    QList<ItemAnalysis> present;
    for (const auto& analysis : m_analyses) {
        if (analysis)
            present.append(*analysis);
    }
    outputStage()->writeAll(groupAnalyses(present));
}

OutputStage* ProcessingRun::outputStage() {
    if (m_output)
        return m_output;
    OutputStage::Context context;
    context.outputFolder = m_request.outputFolder;
    context.settings = m_request.settings;
    context.stop = m_stop.get_token();
    context.names = m_names;
    context.onStep = [this](qsizetype index, ProcessingStatus::Kind step) {
        emit itemStep(index, step);
    };
    context.onItem = [this](qsizetype index, ItemOutcome outcome) {
        endItem(index, std::move(outcome));
    };
    m_output = new OutputStage(std::move(context), m_work, this);
    connect(m_output, &OutputStage::groupDone, this,
            [this](int members) { addCompletedSteps(double(members)); });
    connect(m_output, &OutputStage::finished, this, &ProcessingRun::endPipeline);
    return m_output;
}

void ProcessingRun::addCompletedSteps(double steps) {
    m_completedSteps += steps;
    emitProgress();
}

void ProcessingRun::conversionProgressed(std::size_t slot, double seconds) {
    if (slot >= m_converted.size() || !(m_durations[slot] > 0.0))
        return;
    m_converted[slot] = std::max(m_converted[slot], std::min(seconds, m_durations[slot]));
    emitProgress();
}

void ProcessingRun::conversionEnded(std::size_t slot) {
    if (slot >= m_converted.size())
        return;
    // Ended, well or not: nothing of it is left to wait for.
    m_durations[slot] = 1.0;
    m_converted[slot] = 1.0;
    emitProgress();
}

void ProcessingRun::emitProgress() {
    if (m_totalSteps <= 0.0)
        return;
    double converted = 0.0;
    for (std::size_t slot = 0; slot < m_converted.size(); ++slot) {
        if (m_durations[slot] > 0.0)
            converted += m_converted[slot] / m_durations[slot];
    }
    const double conversions = m_converted.empty() ? 0.0 : converted / double(m_converted.size());
    const double progress = std::min((m_completedSteps + conversions) / m_totalSteps, 1.0);
    // A tool's report can come in pieces: the bar never steps back.
    if (progress <= m_shownProgress)
        return;
    m_shownProgress = progress;
    emit progressChanged(progress);
}

void ProcessingRun::failRun(const QString& text, const std::optional<ItemFailure>& cause) {
    m_report.runFailure = text;
    if (cause && cause->path == m_request.reference.toLocalFile())
        m_report.referenceFailure = cause;
    emit statusMessageChanged(text);
    m_conversionStop.request_stop();
    // Every file not yet finished says why it did not run: the cause is the run's.
    for (qsizetype i = 0; i < m_report.items.size(); ++i) {
        const ItemReport& item = m_report.items[i];
        if (!item.result() && !item.failure())
            endItem(i,
                    cause.value_or(ItemFailure{RunStep::convert, m_request.reference.toLocalFile(),
                                               CorvaleError::passedOn(text)}));
    }
}

void ProcessingRun::endItem(qsizetype index, ItemOutcome outcome) {
    m_report.items[index].outcome = std::move(outcome);
    emit itemEnded(index);
}

void ProcessingRun::endPipeline() {
    m_pipelineDone = true;
    maybeEnd();
}

void ProcessingRun::maybeEnd() {
    if (!m_pipelineDone || !m_work->idle() || m_ended)
        return;
    if (!m_tempFolder.isEmpty()) {
        std::error_code ec;
        std::filesystem::remove_all(QFile::encodeName(m_tempFolder).toStdString(), ec);
    }
    m_ended = true;
    m_report.sampleRate = m_sampleRate;
    m_report.outcome = outcomeOf(m_report, isCancelled());
    emit ended(m_report);
}

bool ProcessingRun::shutdown(QDeadlineTimer deadline) {
    cancel();
    terminateAllTools(deadline);
    const bool idle =
        m_work->pool()->waitForDone(int(std::clamp<qint64>(deadline.remainingTime(), 0, 60000)));
    if (!m_tempFolder.isEmpty()) {
        std::error_code ec;
        std::filesystem::remove_all(QFile::encodeName(m_tempFolder).toStdString(), ec);
    }
    m_pipelineDone = true;
    m_ended = true;
    return idle;
}

} // namespace corvale
