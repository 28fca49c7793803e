// SPDX-License-Identifier: GPL-3.0-or-later
#include "clireport.h"

#include "session/appviewmodel.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>

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
QString shortWarning(const QString& code) {
    if (code == QStringLiteral("LOW_OFFSET_CONFIDENCE"))
        return QStringLiteral("uncertain offset");
    if (code == QStringLiteral("SPARSE_DRIFT_COVERAGE"))
        return QStringLiteral("drift gap");
    if (code == QStringLiteral("NORMALIZATION_FAILED"))
        return QStringLiteral("not normalized");
    return code.toLower().replace(QLatin1Char('_'), QLatin1Char(' '));
}

double finalDrift(const DriftAnalysis& drift) {
    return drift.points.empty() ? 0.0 : drift.points.back().driftSeconds;
}

QStringList outputsOf(const SyncResult& result) {
    QStringList outputs{result.outputURL.toLocalFile()};
    if (result.outputURLRight)
        outputs << result.outputURLRight->toLocalFile();
    return outputs;
}

} // namespace

QString resultTable(const AppViewModel& session) {
    const QDir outputDir(session.effectiveOutputFolder().toLocalFile());
    QList<QStringList> rows{{QStringLiteral("File"), QStringLiteral("Offset"),
                             QStringLiteral("Confidence"), QStringLiteral("Drift"),
                             QStringLiteral("Final drift"), QStringLiteral("Warnings"),
                             QStringLiteral("Output")}};
    for (const AudioFileItem* item : session.individualFiles()) {
        QStringList row{QFileInfo(item->url().toLocalFile()).fileName()};
        const SyncResult* result = item->status().result();
        if (!result) {
            // A tool's text can run over several lines; --json carries all of it.
            row << statusText(item->status()).section(QLatin1Char('\n'), 0, 0).trimmed();
            rows << row;
            continue;
        }
        const auto analysis = session.analysisOf(item);
        bool applied = analysis && analysis->drift.driftApplied;
        std::optional<double> drift;
        if (analysis)
            drift = finalDrift(analysis->drift);
        if (analysis && analysis->followsFineClock()) {
            // The output follows the fitted clock: its drift over the track is what was corrected.
            const auto& segments = analysis->fine->fit.segments;
            const double rate = analysis->fine->sampleRate;
            const double end = analysis->durationSeconds * rate;
            drift = (segments.back().lagAt(end) - segments.front().lagAtZero) / rate;
            applied = std::fabs(*drift) * rate >= 0.5;
        }
        QStringList codes;
        for (const SyncWarning& warning : result->warnings)
            codes << shortWarning(warning.code);
        QStringList outputs;
        for (const QString& path : outputsOf(*result))
            outputs << outputDir.relativeFilePath(path);
        QString confidence = QString::fromLatin1(rawValue(result->confidenceBand).data());
        if (result->placedByWaveformSearch)
            confidence += QStringLiteral(" (waveform)");
        row << signedOffset(result->offsetSeconds) << confidence
            << (applied ? QStringLiteral("corrected") : QStringLiteral("none"))
            << (drift ? QString::asprintf("%+.3fs", *drift) : QStringLiteral("-"))
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
    if (fit.segments.size() >= 2) {
        const ClockSegment& before = fit.segments[0];
        const ClockSegment& after = fit.segments[1];
        const auto at = double(after.firstTrackSample);
        out[QStringLiteral("break")] = QJsonObject{
            {QStringLiteral("trackSeconds"), at / rate},
            {QStringLiteral("stepMs"), (after.lagAt(at) - before.lagAt(at)) / rate * 1e3},
            {QStringLiteral("clockPpmAfter"), after.slope * 1e6}};
    } else {
        out[QStringLiteral("break")] = QJsonValue::Null;
    }
    if (!fit.confident)
        out[QStringLiteral("listenAtSeconds")] = fine.listenAtSeconds;
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

} // namespace

QJsonObject resultJson(const AppViewModel& session) {
    QJsonArray files;
    for (const AudioFileItem* item : session.individualFiles()) {
        QJsonObject file{{QStringLiteral("input"), item->url().toLocalFile()}};
        const ProcessingStatus& status = item->status();
        const SyncResult* result = status.result();
        file[QStringLiteral("status")] = result ? QStringLiteral("complete")
                                         : status.is(ProcessingStatus::Kind::failed)
                                             ? QStringLiteral("failed")
                                             : QStringLiteral("incomplete");
        if (status.is(ProcessingStatus::Kind::failed))
            file[QStringLiteral("error")] = status.failureMessage();
        if (const auto analysis = session.analysisOf(item)) {
            const OffsetResult& o = analysis->offset;
            file[QStringLiteral("sampleRate")] = analysis->sampleRate;
            file[QStringLiteral("offsetSamples")] = qint64(o.offsetSamples);
            file[QStringLiteral("offsetSeconds")] = o.offsetSeconds;
            file[QStringLiteral("confidence")] = o.confidence;
            file[QStringLiteral("margin")] = o.margin;
            file[QStringLiteral("confidenceBand")] =
                QString::fromLatin1(rawValue(o.confidenceBand).data());
            file[QStringLiteral("crossCheckAgrees")] = o.crossCheckAgrees;
            QJsonObject stereo{{QStringLiteral("verdict"), stereoCode(analysis->stereo)}};
            if (analysis->stereo.kind == StereoAnalysis::Kind::singleChannel)
                stereo[QStringLiteral("channel")] = analysis->stereo.channel;
            file[QStringLiteral("stereo")] = stereo;
            QJsonArray points;
            for (const DriftPoint& p : analysis->drift.points)
                points.append(QJsonObject{{QStringLiteral("timeSeconds"), p.timeSeconds},
                                          {QStringLiteral("driftSeconds"), p.driftSeconds}});
            file[QStringLiteral("driftPoints")] = points;
            file[QStringLiteral("driftApplied")] = analysis->drift.driftApplied;
            file[QStringLiteral("finalDriftSeconds")] = finalDrift(analysis->drift);
            file[QStringLiteral("alignedDurationSeconds")] = analysis->drift.alignedDurationSeconds;
            file[QStringLiteral("longestUnanchoredSpanSeconds")] =
                analysis->drift.longestUnanchoredSpanSeconds;
            if (analysis->fine)
                file[QStringLiteral("fine")] = fineJson(*analysis->fine);
            const bool byWaveform = analysis->placement && analysis->placement->verdict ==
                                                               WaveformPlacement::Verdict::placed;
            file[QStringLiteral("placedBy")] =
                byWaveform ? QStringLiteral("waveform") : QStringLiteral("envelopes");
            if (analysis->placement)
                file[QStringLiteral("waveformSearch")] = waveformSearchJson(*analysis->placement);
        }
        if (result) {
            QJsonArray warnings;
            for (const SyncWarning& w : result->warnings)
                warnings.append(QJsonObject{{QStringLiteral("code"), w.code},
                                            {QStringLiteral("message"), w.message}});
            file[QStringLiteral("warnings")] = warnings;
            file[QStringLiteral("outputs")] = QJsonArray::fromStringList(outputsOf(*result));
            if (result->normalizedLUFS)
                file[QStringLiteral("normalizedLUFS")] = *result->normalizedLUFS;
            if (result->mergedPartCount)
                file[QStringLiteral("mergedPartCount")] = *result->mergedPartCount;
        }
        files.append(file);
    }
    return QJsonObject{
        {QStringLiteral("reference"), session.referenceFile().toLocalFile()},
        {QStringLiteral("outputFolder"), session.effectiveOutputFolder().toLocalFile()},
        {QStringLiteral("status"), session.statusMessage()},
        {QStringLiteral("elapsed"), session.elapsedTimeText()},
        {QStringLiteral("reviewCount"), session.reviewCount()},
        {QStringLiteral("files"), files},
    };
}

} // namespace corvale::cli
