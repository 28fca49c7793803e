// SPDX-License-Identifier: GPL-3.0-or-later
#include "processingrun.h"

#include "appviewmodel.h"
#include "audio/audioconverter.h"
#include "audio/ffmpeglocator.h"
#include "audio/toolrunner.h"
#include "audiofileitem.h"
#include "filecopy.h"
#include "preferences.h"
#include "trackanalysis.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QThreadPool>
#include <QUuid>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include <sys/stat.h>

namespace corvale {
namespace {

std::filesystem::path fsPath(const QString& path) {
    return std::filesystem::path(QFile::encodeName(path).toStdString());
}

} // namespace

ProcessingRun::ProcessingRun(AppViewModel* session, Inputs inputs, QThreadPool* pool)
    : QObject(session), m_session(session), m_inputs(std::move(inputs)), m_pool(pool) {}

ProcessingRun::~ProcessingRun() = default;

void ProcessingRun::start() {
    m_names.clear();
    const QString temp =
        QDir(QDir::tempPath())
            .filePath(QStringLiteral("Corvale_") +
                      QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper());
    std::error_code ec;
    std::filesystem::create_directories(fsPath(QDir::tempPath()), ec);
    // Readable by the user only: it holds the converted recordings in a shared folder.
    if (::mkdir(QFile::encodeName(temp).constData(), 0700) != 0) {
        failRun(QStringLiteral("Cannot create temp folder: ") +
                QString::fromLocal8Bit(std::strerror(errno)));
        endPipeline();
        return;
    }
    m_tempFolder = temp;
    std::filesystem::create_directories(fsPath(m_inputs.outputFolder), ec);
    if (ec) {
        failRun(QStringLiteral("Cannot create output folder: ") +
                QString::fromStdString(ec.message()));
        endPipeline();
        return;
    }
    setStatusMessage(QStringLiteral("Converting…"));
    for (qsizetype i = 0; i < m_inputs.items.size(); ++i)
        setItemStatus(i, ProcessingStatus::converting());
    probeInputs();
}

void ProcessingRun::cancel() {
    m_stop.request_stop();
    m_conversionStop.request_stop();
}

void ProcessingRun::probeInputs() {
    const QString ffprobe = ffprobeBeside(m_inputs.ffmpegPath);
    QStringList paths{m_inputs.reference.toLocalFile()};
    for (const auto& item : m_inputs.items)
        paths << (item ? item->url().toLocalFile() : QString());
    auto probes = std::make_shared<std::vector<Probe>>(static_cast<std::size_t>(paths.size()));
    auto pending = std::make_shared<qsizetype>(paths.size());
    for (qsizetype i = 0; i < paths.size(); ++i) {
        offThread(
            [path = paths[i], ffprobe] {
                const AudioFormat format = probeAudioFormat(path, ffprobe);
                return Probe{format.rateKnown ? format.sampleRate : 0.0, format.channels};
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

    const AudioConverter converter(m_inputs.ffmpegPath);
    ++m_outstanding;
    converter.convertToWAV({m_inputs.reference.toLocalFile(), m_tempFolder, QStringLiteral("_ref"),
                            m_referenceChannels >= 2, m_sampleRate},
                           m_stop.get_token(), this, [this](Result<QString> result) {
                               --m_outstanding;
                               onReferenceConverted(std::move(result));
                               maybeEnd();
                           });
    m_conversions.assign(static_cast<std::size_t>(m_inputs.items.size()), {});
    for (qsizetype i = 0; i < m_inputs.items.size(); ++i) {
        const auto index = static_cast<std::size_t>(i);
        m_conversions[index].stereo = probes[index + 1].channels >= 2;
        const auto& item = m_inputs.items[i];
        ++m_outstanding;
        converter.convertToWAV(
            {item ? item->url().toLocalFile() : QString(), m_tempFolder,
             QStringLiteral("_ind") + QString::number(i), m_conversions[index].stereo,
             m_sampleRate},
            m_conversionStop.get_token(), this, [this, i](Result<QString> result) {
                --m_outstanding;
                Conversion& conversion = m_conversions[static_cast<std::size_t>(i)];
                conversion.result = std::move(result);
                if (m_referenceEnvelope && !m_pipelineDone && !conversion.analysisStarted)
                    startAnalysis(i);
                maybeEnd();
            });
    }
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
        failRun(QStringLiteral("Reference conversion failed: ") +
                result.error().errorDescription());
        endPipeline();
        return;
    }
    const QString referenceWAV = result.value();
    const bool monoWav =
        QFileInfo(m_inputs.reference.path()).suffix().toLower() == QStringLiteral("wav") &&
        m_referenceChannels == 1;
    if (!monoWav)
        startReferenceCopy(referenceWAV);
    if (Preferences::preciseAlignment())
        m_fineReference = FineReference{referenceWAV, m_referenceChannels >= 2};

    setStatusMessage(QStringLiteral("Loading reference audio…"));
    offThread(
        [engine = *m_engine, referenceWAV, stereo = m_referenceChannels >= 2,
         stop = m_stop.get_token()] {
            return loadReferenceEnvelope(engine, referenceWAV, stereo, stop);
        },
        [this](Result<std::vector<float>> envelope) { onReferenceLoaded(std::move(envelope)); });
}

void ProcessingRun::startReferenceCopy(const QString& referenceWAV) {
    const QUrl destination =
        m_names.uniqueReferenceCopyURL(m_inputs.outputFolder, baseName(m_inputs.reference));
    // Errors of the copy are not reported; it leaves nothing behind when it fails.
    offThread([referenceWAV, path = destination.toLocalFile(),
               stop = m_stop.get_token()] { return copyFileSafely(referenceWAV, path, stop); },
              [](bool) {});
}

void ProcessingRun::onReferenceLoaded(Result<std::vector<float>> envelope) {
    if (isCancelled()) {
        endPipeline();
        return;
    }
    if (!envelope) {
        failRun(QStringLiteral("Cannot read reference audio: ") +
                envelope.error().errorDescription());
        endPipeline();
        return;
    }
    m_referenceEnvelope = std::make_shared<const std::vector<float>>(std::move(envelope.value()));
    const qsizetype n = m_inputs.items.size();
    setStatusMessage(QStringLiteral("Processing %1 file%2…")
                         .arg(n)
                         .arg(n == 1 ? QString() : QStringLiteral("s")));
    m_totalSteps = 2.0 * double(n);
    m_analyses.assign(static_cast<std::size_t>(n), std::nullopt);
    m_analysesPending = n;
    if (n == 0) {
        startOutputPhase();
        return;
    }
    for (qsizetype i = 0; i < n; ++i) {
        if (m_conversions[static_cast<std::size_t>(i)].result)
            startAnalysis(i);
    }
}

void ProcessingRun::startAnalysis(qsizetype index) {
    Conversion& conversion = m_conversions[static_cast<std::size_t>(index)];
    conversion.analysisStarted = true;
    const Result<QString>& converted = *conversion.result;
    if (!converted || isCancelled()) {
        setItemStatus(index, isCancelled()
                                 ? ProcessingStatus::waiting()
                                 : ProcessingStatus::failed(converted.error().errorDescription()));
        onAnalysisChildDone(index, std::nullopt);
        return;
    }
    setItemStatus(index, ProcessingStatus::analyzing());
    const QString wav = converted.value();
    offThread(
        [engine = *m_engine, wav, stereo = conversion.stereo, reference = m_referenceEnvelope,
         fine = m_fineReference, stop = m_stop.get_token()] {
            return analyzeTrack(engine, wav, stereo, *reference, stop, fine);
        },
        [this, index, wav](Result<TrackAnalysisResult> result) {
            if (!result || isCancelled()) {
                setItemStatus(index, isCancelled() ? ProcessingStatus::waiting()
                                                   : ProcessingStatus::failed(
                                                         result.error().errorDescription()));
                onAnalysisChildDone(index, std::nullopt);
                return;
            }
            const auto& item = m_inputs.items[index];
            const TrackAnalysisResult& r = result.value();
            ItemAnalysis analysis;
            analysis.item = item;
            analysis.url = item ? item->url() : QUrl();
            analysis.indWAV = wav;
            analysis.stereo = r.stereo;
            analysis.offset = r.offset;
            analysis.drift = r.drift;
            analysis.durationSeconds = double(r.frameCount) / m_sampleRate;
            analysis.sampleRate = m_sampleRate;
            analysis.quietMap = r.quietMap;
            analysis.fine = r.fine;
            m_session->runRecordAnalysis(this, analysis);
            onAnalysisChildDone(index, std::move(analysis));
        });
}

void ProcessingRun::onAnalysisChildDone(qsizetype index, std::optional<ItemAnalysis> analysis) {
    m_analyses[static_cast<std::size_t>(index)] = std::move(analysis);
    addCompletedSteps(1.0);
    if (--m_analysesPending == 0)
        startOutputPhase();
}

void ProcessingRun::startOutputPhase() {
    if (isCancelled()) {
        endPipeline();
        return;
    }
    QList<ItemAnalysis> present;
    for (const auto& analysis : m_analyses) {
        if (analysis && analysis->item)
            present.append(*analysis);
    }
    const QList<OutputGroup> groups = groupAnalyses(present);
    m_groupsPending = groups.size();
    if (groups.isEmpty()) {
        endPipeline();
        return;
    }
    for (const OutputGroup& group : groups)
        writeGroup(group);
}

void ProcessingRun::addCompletedSteps(double steps) {
    m_completedSteps += steps;
    if (m_totalSteps > 0)
        m_session->runSetProgress(this, std::min(m_completedSteps / m_totalSteps, 1.0));
}

void ProcessingRun::failRun(const QString& text) {
    m_failed = true;
    setStatusMessage(text);
    m_conversionStop.request_stop();
}

void ProcessingRun::endPipeline() {
    m_pipelineDone = true;
    maybeEnd();
}

void ProcessingRun::maybeEnd() {
    if (!m_pipelineDone || m_outstanding > 0 || m_ended)
        return;
    if (!m_tempFolder.isEmpty()) {
        std::error_code ec;
        std::filesystem::remove_all(fsPath(m_tempFolder), ec);
    }
    m_ended = true;
    emit ended();
}

bool ProcessingRun::shutdown(int timeoutMs) {
    cancel();
    terminateAllTools(timeoutMs);
    const bool idle = m_pool->waitForDone(timeoutMs);
    if (!m_tempFolder.isEmpty()) {
        std::error_code ec;
        std::filesystem::remove_all(fsPath(m_tempFolder), ec);
    }
    m_pipelineDone = true;
    m_ended = true;
    return idle;
}

void ProcessingRun::setItemStatus(qsizetype index, const ProcessingStatus& status) {
    if (const auto& item = m_inputs.items[index])
        item->setStatus(status);
}

void ProcessingRun::setItemStatus(const AudioFileItem* item, const ProcessingStatus& status) {
    for (const auto& own : m_inputs.items) {
        if (own == item && own)
            own->setStatus(status);
    }
}

void ProcessingRun::setStatusMessage(const QString& text) {
    m_session->runSetStatusMessage(this, text);
}

} // namespace corvale
