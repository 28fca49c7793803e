// SPDX-License-Identifier: GPL-3.0-or-later
#include "clireport.h"

#include "session/processingstatus.h"
#include "session/resultbuilder.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>

#include <cmath>

namespace corvale::cli {
namespace {

QString stereoCode(const StereoAnalysis& stereo) {
    switch (stereo.kind) {
    case StereoAnalysis::Kind::singleChannel:
        return QStringLiteral("singleChannel");
    case StereoAnalysis::Kind::split:
        return QStringLiteral("split");
    case StereoAnalysis::Kind::monoOrIdentical:
        break;
    }
    return QStringLiteral("monoOrIdentical");
}

QString signedOffset(double seconds) {
    if (std::fabs(seconds) < 0.05)
        return QStringLiteral("0.00s");
    return (seconds < 0 ? QStringLiteral("-") : QStringLiteral("+")) +
           formatOffset(std::fabs(seconds));
}

// A few words for the table's Warnings column; the full message is in --json.
QString shortWarning(WarningKind kind) {
    switch (kind) {
    case WarningKind::lowOffsetConfidence:
        return QStringLiteral("uncertain offset");
    case WarningKind::sparseDriftCoverage:
        return QStringLiteral("drift gap");
    case WarningKind::normalizationFailed:
        return QStringLiteral("not normalized");
    case WarningKind::driftDisagrees:
        return QStringLiteral("drift not followed");
    case WarningKind::notFound:
        return QStringLiteral("not in reference");
    default:
        break;
    }
    return warningCode(kind).toLower().replace(QLatin1Char('_'), QLatin1Char(' '));
}

QStringList outputsOf(const SyncResult& result) {
    QStringList outputs{result.outputURL.toLocalFile()};
    if (result.outputURLRight)
        outputs << result.outputURLRight->toLocalFile();
    return outputs;
}

QJsonArray pointsJson(const std::vector<DriftPoint>& points) {
    QJsonArray out;
    for (const DriftPoint& p : points)
        out.append(QJsonObject{{QStringLiteral("timeSeconds"), p.timeSeconds},
                               {QStringLiteral("driftSeconds"), p.driftSeconds}});
    return out;
}

} // namespace

QString resultTable(const RunReport& report, const QString& outputFolder) {
    const QDir outputDir(outputFolder);
    QList<QStringList> rows{{QStringLiteral("File"), QStringLiteral("Offset"),
                             QStringLiteral("Confidence"), QStringLiteral("Drift"),
                             QStringLiteral("Final drift"), QStringLiteral("Warnings"),
                             QStringLiteral("Output")}};
    for (const ItemReport& item : report.items) {
        QStringList row{QFileInfo(item.input.toLocalFile()).fileName()};
        const SyncResult* result = item.result();
        if (!result) {
            // A tool's text can run over several lines; --json carries all of it.
            row << (item.failure() ? QStringLiteral("Error: ") +
                                         item.failure()->message().section(QLatin1Char('\n'), 0, 0)
                                   : QStringLiteral("Cancelled"));
            rows << row;
            continue;
        }
        QStringList codes;
        for (const SyncWarning& warning : result->warnings)
            codes << shortWarning(warning.kind);
        codes << leftOutNotes(*result);
        QStringList outputs;
        for (const QString& path : outputsOf(*result))
            outputs << outputDir.relativeFilePath(path);
        QString confidence = result->notFound
                                 ? QStringLiteral("not found")
                                 : QString::fromLatin1(rawValue(result->confidenceBand).data());
        if (result->placedByWaveformSearch)
            confidence += QStringLiteral(" (waveform)");
        row << signedOffset(result->offsetSeconds) << confidence
            << (result->driftCorrected ? QStringLiteral("corrected") : QStringLiteral("none"))
            << QString::asprintf("%+.3fs", result->finalDriftSeconds)
            << (codes.isEmpty() ? QStringLiteral("-") : codes.join(QStringLiteral(", ")))
            << outputs.join(QStringLiteral(", "));
        rows << row;
    }
    QList<qsizetype> widths(rows.front().size(), 0);
    for (const QStringList& row : rows) {
        for (qsizetype c = 0; c < row.size(); ++c)
            widths[c] = std::max(widths[c], row[c].size());
    }
    QString table;
    for (const QStringList& row : rows) {
        QString line;
        for (qsizetype c = 0; c < row.size(); ++c) {
            const bool last = c == row.size() - 1;
            line += last ? row[c] : row[c].leftJustified(widths[c] + 2);
        }
        table += line.trimmed() + QLatin1Char('\n');
    }
    return table;
}

namespace {

// The fine stage's figures. A lag is the reference sample a track sample lines up with minus
// that sample's index; clockPpm is how many more reference samples than track samples pass.
QJsonObject fineJson(const FineAlignment& fine) {
    const ClockFit& fit = fine.fit;
    const double rate = fine.sampleRate > 0.0 ? fine.sampleRate : 1.0;
    QJsonObject out{{QStringLiteral("confirmed"), fit.confident},
                    {QStringLiteral("windowsMeasured"), fit.windowsMeasured},
                    {QStringLiteral("windowsAgreeing"), fit.windowsAgreeing}};
    if (!fit.segments.empty()) {
        const ClockSegment& first = fit.segments.front();
        out[QStringLiteral("offsetSamples")] = first.lagAtZero;
        out[QStringLiteral("offsetSeconds")] = first.lagAtZero / rate;
        out[QStringLiteral("clockPpm")] = first.slope * 1e6;
        out[QStringLiteral("residualMs")] = fit.residualSamples / rate * 1e3;
    }
    out[QStringLiteral("windowsClear")] = fit.windowsClear;
    out[QStringLiteral("followed")] = fit.usable;
    // A step is a dropped (> 0) or inserted (< 0) block; a rate change has a step of 0.
    QJsonArray breaks;
    for (const ClockBreakSeconds& b : fine.breaks())
        breaks.append(QJsonObject{{QStringLiteral("trackSeconds"), b.trackSeconds},
                                  {QStringLiteral("stepMs"), b.stepMs},
                                  {QStringLiteral("clockPpmBefore"), b.ppmBefore},
                                  {QStringLiteral("clockPpmAfter"), b.ppmAfter}});
    out[QStringLiteral("breaks")] = breaks;
    if (!fit.confident) {
        out[QStringLiteral("listenAtSeconds")] = fine.listenAtSeconds;
        QJsonArray disagreeing;
        for (const double t : fine.disagreeingAtSeconds)
            disagreeing.append(t);
        out[QStringLiteral("disagreeingAtSeconds")] = disagreeing;
    }
    return out;
}

// The whole-reference search's figures; the offset is where the searched seconds put the file.
QJsonObject waveformSearchJson(const WaveformPlacement& placement) {
    QJsonObject out{{QStringLiteral("verdict"), rawValue(placement.verdict)},
                    {QStringLiteral("queryStartSeconds"), placement.queryStartSeconds}};
    if (const auto& match = placement.match) {
        const double rate = placement.sampleRate > 0.0 ? placement.sampleRate : 1.0;
        out[QStringLiteral("offsetSeconds")] = match->lagSamples / rate;
        out[QStringLiteral("peak")] = match->peak;
        out[QStringLiteral("runnerUp")] = match->runnerUp;
        out[QStringLiteral("margin")] = match->margin();
    }
    return out;
}

// What the envelopes found, before the fine stage or the search moved anything.
QJsonObject coarseJson(const ItemAnalysis& analysis) {
    const OffsetResult& o = analysis.offset;
    const DriftAnalysis& d = analysis.drift;
    return QJsonObject{
        {QStringLiteral("offsetSamples"), qint64(o.offsetSamples)},
        {QStringLiteral("offsetSeconds"), o.offsetSeconds},
        {QStringLiteral("driftPoints"), pointsJson(d.points)},
        {QStringLiteral("driftApplied"), d.driftApplied},
        {QStringLiteral("finalDriftSeconds"),
         d.driftApplied && !d.points.empty() ? d.points.back().driftSeconds : 0.0},
        {QStringLiteral("alignedDurationSeconds"), d.alignedDurationSeconds},
        {QStringLiteral("longestUnanchoredSpanSeconds"), d.longestUnanchoredSpanSeconds},
        {QStringLiteral("segmentsMeasured"), d.segmentsMeasured},
        {QStringLiteral("segmentsDisagreeing"), d.segmentsDisagreeing},
    };
}

QJsonObject itemJson(const ItemReport& item) {
    QJsonObject file{{QStringLiteral("input"), item.input.toLocalFile()},
                     {QStringLiteral("verdict"), rawValue(item.verdict())}};
    const SyncResult* result = item.result();
    file[QStringLiteral("status")] = result           ? QStringLiteral("complete")
                                     : item.failure() ? QStringLiteral("failed")
                                                      : QStringLiteral("cancelled");
    if (const ItemFailure* failure = item.failure())
        file[QStringLiteral("error")] = failure->message();
    if (const auto& analysis = item.analysis) {
        const OffsetResult& o = analysis->offset;
        file[QStringLiteral("sampleRate")] = analysis->sampleRate;
        file[QStringLiteral("confidence")] = o.confidence;
        file[QStringLiteral("margin")] = o.margin;
        file[QStringLiteral("confidenceBand")] =
            QString::fromLatin1(rawValue(o.confidenceBand).data());
        file[QStringLiteral("crossCheckAgrees")] = o.crossCheckAgrees;
        QJsonObject stereo{{QStringLiteral("verdict"), stereoCode(analysis->stereo)}};
        if (analysis->stereo.kind == StereoAnalysis::Kind::singleChannel)
            stereo[QStringLiteral("channel")] = analysis->stereo.channel;
        file[QStringLiteral("stereo")] = stereo;
        file[QStringLiteral("coarse")] = coarseJson(*analysis);
        if (analysis->fine)
            file[QStringLiteral("fine")] = fineJson(*analysis->fine);
        const bool byWaveform = analysis->placement &&
                                analysis->placement->verdict == WaveformPlacement::Verdict::placed;
        file[QStringLiteral("placedBy")] =
            byWaveform ? QStringLiteral("waveform") : QStringLiteral("envelopes");
        if (analysis->placement)
            file[QStringLiteral("waveformSearch")] = waveformSearchJson(*analysis->placement);
    }
    if (result) {
        // The placement and clock the output was written with.
        file[QStringLiteral("offsetSamples")] = qint64(result->offsetSamples);
        file[QStringLiteral("offsetSeconds")] = result->offsetSeconds;
        file[QStringLiteral("driftApplied")] = result->driftCorrected;
        file[QStringLiteral("finalDriftSeconds")] = result->finalDriftSeconds;
        file[QStringLiteral("leftOutBeforeSeconds")] = result->leftOutBeforeSeconds;
        file[QStringLiteral("leftOutAfterSeconds")] = result->leftOutAfterSeconds;
        QJsonArray warnings;
        for (const SyncWarning& w : result->warnings)
            warnings.append(QJsonObject{{QStringLiteral("code"), w.code()},
                                        {QStringLiteral("message"), w.message}});
        file[QStringLiteral("warnings")] = warnings;
        file[QStringLiteral("outputs")] = QJsonArray::fromStringList(outputsOf(*result));
        if (result->normalizedLUFS)
            file[QStringLiteral("normalizedLUFS")] = *result->normalizedLUFS;
        if (result->mergedPartCount)
            file[QStringLiteral("mergedPartCount")] = *result->mergedPartCount;
    }
    return file;
}

QString copyState(ReferenceCopyReport::State state) {
    switch (state) {
    case ReferenceCopyReport::State::notNeeded:
        return QStringLiteral("notNeeded");
    case ReferenceCopyReport::State::written:
        return QStringLiteral("written");
    case ReferenceCopyReport::State::failed:
        return QStringLiteral("failed");
    case ReferenceCopyReport::State::cancelled:
        break;
    }
    return QStringLiteral("cancelled");
}

} // namespace

QJsonObject resultJson(const RunReport& report) {
    QJsonArray files;
    for (const ItemReport& item : report.items)
        files.append(itemJson(item));
    QJsonObject counts;
    for (const ItemVerdict v : {ItemVerdict::placed, ItemVerdict::needsReview,
                                ItemVerdict::notFound, ItemVerdict::failed, ItemVerdict::cancelled})
        counts[rawValue(v)] = report.count(v);
    QJsonObject copy{{QStringLiteral("state"), copyState(report.referenceCopy.state)}};
    if (!report.referenceCopy.path.isEmpty())
        copy[QStringLiteral("path")] = report.referenceCopy.path;
    if (report.referenceCopy.failure)
        copy[QStringLiteral("error")] = report.referenceCopy.failure->message();
    QJsonObject out{
        {QStringLiteral("outcome"), rawValue(report.outcome)},
        {QStringLiteral("counts"), counts},
        {QStringLiteral("reviewCount"),
         report.count(ItemVerdict::needsReview) + report.count(ItemVerdict::notFound)},
        {QStringLiteral("referenceCopy"), copy},
        {QStringLiteral("files"), files},
    };
    if (report.runFailure)
        out[QStringLiteral("error")] = *report.runFailure;
    return out;
}

} // namespace corvale::cli
