// SPDX-License-Identifier: GPL-3.0-or-later
#include "outputstage.h"

#include "audio/audiooutputwriter.h"
#include "colorlabel.h"
#include "resultbuilder.h"
#include "reviewwarnings.h"
#include "runwork.h"

#include <QDir>
#include <QFile>

#include <cmath>

namespace corvale {
namespace {

SyncPart partOf(const ItemAnalysis& analysis, std::int64_t channel) {
    SyncPart part;
    part.inputWAV = analysis.indWAV;
    part.channel = channel;
    part.offsetSeconds = analysis.offset.offsetSeconds;
    part.driftPoints = analysis.drift.points;
    // A file analysed from one side takes its quiet places from that side; the two outputs
    // of a split file share channel 0's, so both get the same cuts.
    if (analysis.stereo.kind == StereoAnalysis::Kind::singleChannel)
        part.quietMapChannel = analysis.stereo.channel;
    // The analysis read exactly that channel and made its map on the way.
    part.quietMap = analysis.quietMap;
    if (analysis.followsFineClock())
        part.clock = analysis.fine->fit.segments;
    return part;
}

bool isSplit(const OutputGroup& group) {
    return group.size() == 1 && group.front().stereo.kind == StereoAnalysis::Kind::split;
}

// The first output's failure to reach the target, or else the reached loudness furthest from
// it (the two sides of a split file are normalised each on its own).
struct GroupLoudness {
    std::optional<QString> failure;
    std::optional<double> reachedLUFS;
};
GroupLoudness loudnessOf(const std::vector<WrittenOutput>& written) {
    GroupLoudness group;
    for (const WrittenOutput& output : written) {
        if (!output.loudness)
            continue;
        const OutputLoudness& loudness = *output.loudness;
        if (loudness.failure)
            return {loudness.failure, std::nullopt};
        if (!loudness.reachedLUFS)
            continue;
        const auto off = [&](double lufs) { return std::abs(lufs - loudness.targetLUFS); };
        if (!group.reachedLUFS || off(*loudness.reachedLUFS) > off(*group.reachedLUFS))
            group.reachedLUFS = loudness.reachedLUFS;
    }
    return group;
}

struct WriteJob {
    std::vector<SyncPart> parts;
    QString path;
    NextName nextName;
    bool noName = false;
};

} // namespace

OutputStage::OutputStage(Context context, RunWork* work, QObject* parent)
    : QObject(parent), m_context(std::move(context)), m_work(work) {}

void OutputStage::write(const OutputGroup& group) {
    ++m_pending;
    writeGroup(group);
}

void OutputStage::close() {
    m_closed = true;
    maybeFinish();
}

void OutputStage::writeAll(const QList<OutputGroup>& groups) {
    for (const OutputGroup& group : groups)
        write(group);
    close();
}

void OutputStage::maybeFinish() {
    if (!m_closed || m_pending > 0 || m_finished)
        return;
    m_finished = true;
    emit finished();
}

void OutputStage::writeGroup(const OutputGroup& group) {
    for (const ItemAnalysis& member : group)
        m_context.onStep(member.index, ProcessingStatus::Kind::processing);
    const QString folder = m_context.outputFolder;
    const bool dropbox = m_context.settings.renameForDropbox;
    const std::shared_ptr<OutputNameReserver> names = m_context.names;

    auto job = [&](std::vector<SyncPart> parts, const QString& base, const QString& suffix) {
        const QString path = names->uniqueOutputURL(folder, base, suffix).toLocalFile();
        // Asked on the writer's thread when another program took the name meanwhile.
        NextName next = [names, folder, base, suffix]() -> std::optional<QString> {
            const QUrl url = names->uniqueOutputURL(folder, base, suffix);
            return url.isEmpty() ? std::nullopt : std::optional(url.toLocalFile());
        };
        // No name can be given (too long for the file system): the path says which it was.
        const QString shown =
            path.isEmpty() ? QDir(folder).filePath(base + suffix + QStringLiteral("-synced.wav"))
                           : path;
        return WriteJob{std::move(parts), shown, std::move(next), path.isEmpty()};
    };
    std::vector<WriteJob> jobs;
    if (isSplit(group)) {
        const QString base = dropboxBaseName(group.front().url, dropbox);
        jobs.push_back(job({partOf(group.front(), 0)}, base, QStringLiteral("-L")));
        jobs.push_back(job({partOf(group.front(), 1)}, base, QStringLiteral("-R")));
    } else {
        const QString base = group.size() == 1 ? dropboxBaseName(group.front().url, dropbox)
                                               : mergedBaseName(group, dropbox);
        std::vector<SyncPart> parts;
        for (const ItemAnalysis& member : group) {
            parts.push_back(partOf(member, member.stereo.kind == StereoAnalysis::Kind::singleChannel
                                               ? member.stereo.channel
                                               : 0));
        }
        jobs.push_back(job(std::move(parts), base, QString()));
    }

    OutputOptions options;
    if (m_context.settings.normalizeLoudness)
        options.loudnessTargetLUFS = m_context.settings.targetLUFS;
    m_work->offThread(
        [jobs = std::move(jobs), options, stop = m_context.stop]() -> Result<Written, ItemFailure> {
            const AudioOutputWriter writer;
            Written written;
            std::optional<ItemFailure> failure;
            for (const WriteJob& job : jobs) {
                // The right side is not attempted when the left one failed.
                if (job.noName) {
                    failure = ItemFailure{RunStep::write, job.path,
                                          CorvaleError::cannotWriteAudio(QStringLiteral(
                                              "the name is too long for the file system"))};
                    break;
                }
                auto result = writer.writeOutput(job.parts, job.path, options, stop, job.nextName);
                if (!result) {
                    failure = ItemFailure{RunStep::write, job.path, result.error()};
                    break;
                }
                written.push_back(std::move(result.value()));
            }
            // The group's converted files are done with: removing them now, beside the other
            // groups' writing, spares the run's end a long wait on gigabytes of deletes.
            for (const WriteJob& job : jobs) {
                for (const SyncPart& part : job.parts)
                    QFile::remove(part.inputWAV);
            }
            if (failure)
                return *failure;
            return written;
        },
        [this, group](Result<Written, ItemFailure> written) {
            if (!written) {
                // A write cut short by the user's stop leaves nothing and is no fault.
                if (m_context.stop.stop_requested() || written.error().error.isCancellation())
                    endGroup(group, ItemCancelled{});
                else
                    endGroup(group, written.error());
                return;
            }
            completeGroup(group, written.value());
        });
}

void OutputStage::completeGroup(const OutputGroup& group, const Written& written) {
    QStringList outputs;
    for (const WrittenOutput& output : written)
        outputs << output.path;
    const auto [normalizationError, normalizedLUFS] = loudnessOf(written);
    if (m_context.settings.labelEnabled) {
        for (const QString& output : outputs)
            applyColorLabel(output, m_context.settings.labelNumber);
    }
    const QUrl out = QUrl::fromLocalFile(outputs.value(0));
    const std::optional<QUrl> right =
        outputs.size() > 1 ? std::optional(QUrl::fromLocalFile(outputs[1])) : std::nullopt;
    for (const ItemAnalysis& member : group) {
        SyncResult result = describeResult(member);
        if (normalizationError)
            result.warnings.append(normalizationWarning(*normalizationError));
        result.normalizedLUFS = normalizedLUFS;
        result.outputURL = out;
        result.outputURLRight = right;
        if (group.size() >= 2)
            result.mergedPartCount = int(group.size());
        m_context.onItem(member.index, std::move(result));
    }
    groupEnded(group);
}

void OutputStage::endGroup(const OutputGroup& group, const ItemOutcome& outcome) {
    for (const ItemAnalysis& member : group)
        m_context.onItem(member.index, outcome);
    groupEnded(group);
}

void OutputStage::groupEnded(const OutputGroup& group) {
    emit groupDone(int(group.size()));
    --m_pending;
    maybeFinish();
}

} // namespace corvale
