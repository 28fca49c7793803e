// SPDX-License-Identifier: GPL-3.0-or-later
#include "trackanalysis.h"

#include "audio/audiooutputwriter.h"
#include "audio/samplereader.h"

namespace corvale {

Result<std::vector<float>> loadReferenceEnvelope(const SyncEngine& engine, const QString& wav,
                                                 bool stereo, std::stop_token stop) {
    StereoAnalysis verdict = StereoAnalysis::monoOrIdentical();
    if (stereo) {
        // A failed check is taken as "use the left channel", as for tracks.
        if (auto checked = analyzeStereo(engine, wav))
            verdict = checked.value();
    }
    Result<TrackEnvelope> loaded = verdict.kind == StereoAnalysis::Kind::split
                                       ? loadEnvelopeOfSum(engine, wav, stop)
                                       : loadEnvelope(engine, wav, verdict.analysisChannel(), stop);
    if (!loaded)
        return loaded.error();
    return std::move(loaded.value().envelope);
}

OffsetResult withStartCorrection(const SyncEngine& engine, OffsetResult offset,
                                 const DriftAnalysis& drift) {
    if (drift.startCorrectionSamples != 0) {
        offset.offsetSamples += drift.startCorrectionSamples;
        offset.offsetSeconds = double(offset.offsetSamples) / engine.sampleRate();
    }
    return offset;
}

Result<TrackAnalysisResult> analyzeTrack(const SyncEngine& engine, const QString& wav, bool stereo,
                                         const std::vector<float>& referenceEnvelope,
                                         std::stop_token stop) {
    TrackAnalysisResult result;
    if (stereo) {
        if (auto checked = analyzeStereo(engine, wav))
            result.stereo = checked.value();
    }
    auto loaded = loadEnvelope(engine, wav, result.stereo.analysisChannel(), stop,
                               AudioOutputWriter().quietMapSettings());
    if (!loaded)
        return loaded.error();
    const std::vector<float>& envelope = loaded.value().envelope;
    result.frameCount = loaded.value().frameCount;
    result.quietMap = std::make_shared<const std::vector<bool>>(std::move(loaded.value().quietMap));
    const OffsetResult offset = engine.detectOffsetFromEnvelopes(referenceEnvelope, envelope, stop);
    result.drift =
        engine.analyzeDriftFromEnvelopes(referenceEnvelope, envelope, offset.offsetSamples, stop);
    if (stop.stop_requested())
        return CorvaleError::cancelled();
    result.offset = withStartCorrection(engine, offset, result.drift);
    return result;
}

} // namespace corvale
