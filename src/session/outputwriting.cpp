// SPDX-License-Identifier: GPL-3.0-or-later
// The output stage of a run: naming, writing, normalising and labelling each output group.
#include "processingrun.h"

#include "appviewmodel.h"
#include "audio/audiooutputwriter.h"
#include "audio/loudnessnormalizer.h"
#include "audiofileitem.h"
#include "colorlabel.h"
#include "preferences.h"
#include "reviewwarnings.h"

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

} // namespace

void ProcessingRun::writeGroup(const OutputGroup& group) {
    for (const ItemAnalysis& member : group)
        setItemStatus(member.item.data(), ProcessingStatus::processing());
    const bool dropbox = Preferences::renameForDropbox();
    const QString folder = m_inputs.outputFolder;

    QUrl out;
    std::optional<QUrl> right;
    std::vector<std::vector<SyncPart>> jobs;
    if (isSplit(group)) {
        const QString base = dropboxBaseName(group.front().url, dropbox);
        out = m_names.uniqueOutputURL(folder, base, QStringLiteral("-L"));
        right = m_names.uniqueOutputURL(folder, base, QStringLiteral("-R"));
        jobs.push_back({partOf(group.front(), 0)});
        jobs.push_back({partOf(group.front(), 1)});
    } else {
        const QString base = group.size() == 1 ? dropboxBaseName(group.front().url, dropbox)
                                               : mergedBaseName(group, dropbox);
        out = m_names.uniqueOutputURL(folder, base, QString());
        std::vector<SyncPart> parts;
        for (const ItemAnalysis& member : group) {
            parts.push_back(partOf(member, member.stereo.kind == StereoAnalysis::Kind::singleChannel
                                               ? member.stereo.channel
                                               : 0));
        }
        jobs.push_back(std::move(parts));
    }
    QStringList paths{out.toLocalFile()};
    if (right)
        paths << right->toLocalFile();

    offThread(
        [jobs, paths, stop = m_stop.get_token()]() -> Result<Done> {
            const AudioOutputWriter writer;
            for (std::size_t i = 0; i < jobs.size(); ++i) {
                // The right side is not attempted when the left one failed.
                auto written = writer.write(jobs[i], paths[static_cast<qsizetype>(i)], stop);
                if (!written)
                    return written.error();
            }
            return Done{};
        },
        [this, group, out, right](Result<Done> written) {
            if (!written) {
                for (const ItemAnalysis& member : group) {
                    setItemStatus(member.item.data(),
                                  isCancelled() ? ProcessingStatus::waiting()
                                                : ProcessingStatus::failed(
                                                      written.error().errorDescription()));
                }
                addCompletedSteps(double(group.size()));
                if (--m_groupsPending == 0)
                    endPipeline();
                return;
            }
            finishGroup(group, out, right);
        });
}

void ProcessingRun::finishGroup(const OutputGroup& group, const QUrl& out,
                                const std::optional<QUrl>& right) {
    QList<QUrl> files{out};
    if (right)
        files << *right;
    if (!Preferences::normalizeLoudness() || m_inputs.ffmpegPath.isEmpty()) {
        completeGroup(group, out, right, std::nullopt);
        return;
    }
    setItemStatus(group.front().item.data(), ProcessingStatus::normalizing());
    const double target = Preferences::targetLUFS();
    normalizeOutputs(files, target, [this, group, out, right, target](bool ok) {
        completeGroup(group, out, right, ok ? std::optional<double>(target) : std::nullopt);
    });
}

void ProcessingRun::normalizeOutputs(QList<QUrl> files, double target,
                                     std::function<void(bool)> done) {
    if (files.isEmpty()) {
        done(true);
        return;
    }
    const QString path = files.takeFirst().toLocalFile();
    ++m_outstanding;
    LoudnessNormalizer(m_inputs.ffmpegPath)
        .normalize(path, target, m_stop.get_token(), this,
                   [this, files, target, done](NormalizerResult<Done> result) {
                       --m_outstanding;
                       // The first failure skips the rest; it shows only as no loudness.
                       if (result)
                           normalizeOutputs(files, target, done);
                       else
                           done(false);
                       maybeEnd();
                   });
}

void ProcessingRun::completeGroup(const OutputGroup& group, const QUrl& out,
                                  const std::optional<QUrl>& right,
                                  std::optional<double> normalizedLUFS) {
    if (Preferences::finderLabelEnabled()) {
        const int label = Preferences::finderLabelNumber();
        applyColorLabel(out.toLocalFile(), label);
        if (right)
            applyColorLabel(right->toLocalFile(), label);
    }
    for (const ItemAnalysis& member : group) {
        SyncResult result;
        result.offsetSeconds = member.followsFineClock()
                                   ? member.fine->offsetSamples() / member.fine->sampleRate
                                   : member.offset.offsetSeconds;
        result.driftPoints = member.drift.points;
        result.outputURL = out;
        result.confidence = member.offset.confidence;
        result.confidenceBand = member.offset.confidenceBand;
        result.warnings = reviewWarnings(member.offset, member.drift.driftApplied,
                                         member.drift.longestUnanchoredSpanSeconds,
                                         member.drift.alignedDurationSeconds);
        if (member.fine && !member.fine->fit.confident)
            result.warnings.append(alignmentNotConfirmedWarning(member.fine->listenAtSeconds));
        result.normalizedLUFS = normalizedLUFS;
        result.outputURLRight = right;
        if (group.size() >= 2)
            result.mergedPartCount = int(group.size());
        setItemStatus(member.item.data(), ProcessingStatus::complete(std::move(result)));
    }
    addCompletedSteps(double(group.size()));
    if (--m_groupsPending == 0)
        endPipeline();
}

} // namespace corvale
