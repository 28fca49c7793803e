// SPDX-License-Identifier: GPL-3.0-or-later
// The per-file analysis of a run, as plain functions that run off the GUI thread. They read
// files into 0.1 s envelopes as they go, so memory does not grow with the recordings' length.
#pragma once

#include "audio/result.h"
#include "sync/finealign.h"
#include "sync/syncengine.h"
#include "waveformplacement.h"

#include <QString>

#include <memory>
#include <optional>
#include <stop_token>
#include <vector>

namespace corvale {

// One break of a track's clock, in the units the producer reads.
struct ClockBreakSeconds {
    double trackSeconds = 0.0; // where in the track the later stretch starts
    double stepMs = 0.0;       // > 0: a dropped block (silence written); < 0: an inserted one
    double ppmBefore = 0.0;    // the clock's rate against the reference's, before and after
    double ppmAfter = 0.0;
    bool operator==(const ClockBreakSeconds&) const = default;
};

// The fine stage's outcome for one track. A usable fit is followed by the writer; otherwise
// the coarse result stands. Unless the fit is confident (fit.confident: every window with a
// clear peak within kConfirmationMs of it), the producer is told where to listen.
struct FineAlignment {
    ClockFit fit;
    double sampleRate = 0.0;      // the unit of the fit's samples
    double listenAtSeconds = 0.0; // reference time of the first window the fit does not
                                  // explain, or of a loud stretch of the track
    // Reference times of every window with a clear peak more than kConfirmationMs off the fit.
    std::vector<double> disagreeingAtSeconds;
    // Every window measured, for the drift chart.
    std::vector<LagMeasurement> windows;
    // Set when the whole-reference search placed a file the fine stage could not check.
    bool placedBySearch = false;
    // The fitted start: the reference sample the track's first sample lines up with.
    [[nodiscard]] double offsetSamples() const {
        return fit.segments.empty() ? 0.0 : fit.segments.front().lagAtZero;
    }
    [[nodiscard]] std::vector<ClockBreakSeconds> breaks() const {
        std::vector<ClockBreakSeconds> out;
        for (const ClockBreak& b : fit.breaks())
            out.push_back({double(b.trackSample) / sampleRate, 1000.0 * b.stepSamples / sampleRate,
                           1e6 * b.slopeBefore, 1e6 * b.slopeAfter});
        return out;
    }
};

// Where the fine stage reads the reference: its converted WAV, and whether it has two
// channels (checked like a track: two voices are read as their sum). waveform is the run's
// shared copy for the whole-reference search; without one, a search decimates its own.
struct FineReference {
    QString wav;
    bool stereo = false;
    std::shared_ptr<WaveformReference> waveform;
};

struct TrackAnalysisResult {
    StereoAnalysis stereo;
    OffsetResult offset; // includes the drift analysis' start correction
    DriftAnalysis drift;
    std::int64_t frameCount = 0;
    // The writer's quiet map of the analysed channel, made in the same read.
    std::shared_ptr<const std::vector<bool>> quietMap;
    std::optional<FineAlignment> fine;          // when asked for and the track was long enough
    std::optional<WaveformPlacement> placement; // when the whole-reference search ran
};

// The reference as every analysis reads it, from one pass over its converted file.
struct PreparedReference {
    std::vector<float> envelope;
    // The search's decimated copy, when asked for and the envelope read the samples the
    // search reads (a mono reference); otherwise the search decimates its own when needed.
    std::shared_ptr<const SearchReference> search;
};

// loadReferenceEnvelope, with the search's decimated copy made in the same read when
// withSearch. Errors: those of loadReferenceEnvelope.
[[nodiscard]] Result<PreparedReference> prepareReference(const SyncEngine& engine,
                                                         const QString& wav, bool stereo,
                                                         bool withSearch, std::stop_token stop);

// The reference's envelope. A stereo reference is checked like a track: two different voices
// are analysed from their sum, a side that is silent gives way to the other, and anything
// else is analysed from its left channel.
[[nodiscard]] Result<std::vector<float>> loadReferenceEnvelope(const SyncEngine& engine,
                                                               const QString& wav, bool stereo,
                                                               std::stop_token stop);

// Stereo check (when the converted file has two channels), envelope of the chosen channel,
// offset and drift against the reference envelope; with a fine reference, then the fine stage
// (fineAlignTrack) and, unless the file is long and placed strongly (band high, cross-check
// agreeing, fine stage confident), the whole-reference waveform search: its loudest 8 s are
// searched for in the whole reference (once more on the reference's clock when the fine stage
// measured one at least 150 ppm off), and a peak standing kPlacementMargin times above the
// rest moves the file there when the fine stage, run again at that place, agrees with it
// within 2 ms. When the fine stage there has too little speech for a verdict (fewer than
// kFineVerdictWindows clear windows), the search's place, measured again on the query to the
// sample, stands on its own (placedBySearch); below kClearPlacementMargin with a warning.
// A placed or confirmed file's offset band becomes high (medium for that warning).
[[nodiscard]] Result<TrackAnalysisResult>
analyzeTrack(const SyncEngine& engine, const QString& wav, bool stereo,
             const std::vector<float>& referenceEnvelope, std::stop_token stop,
             const std::optional<FineReference>& fineReference = std::nullopt);

// The fine stage after the coarse result: lags measured at loud 3 s windows spread over the
// aligned region (one per 55 s, at least six), each searched within the coarse result's
// uncertainty (±0.5 s around the drift anchors when drift is applied, ±1.45 s otherwise, as a drift
// under 0.5 s is left to this stage; at 44.1 and 48 kHz that still fits a 2^16 transform),
// fitted by fitClock. Where neighbouring windows disagree, windows are added between them
// until each step is seen from both sides within about two windows; each step is then located
// to the sample by locating the split that best matches track and reference on either side.
// No value when fewer than two windows fit the aligned region.
// Errors: the library's read errors, cancelled.
[[nodiscard]] Result<std::optional<FineAlignment>>
fineAlignTrack(const SyncEngine& engine, const QString& wav, std::int64_t channel,
               const FineReference& reference, const std::vector<float>& trackEnvelope,
               const OffsetResult& offset, const DriftAnalysis& drift,
               const std::vector<bool>& quietMap, std::stop_token stop);

// Moves an offset by the drift analysis' start correction.
[[nodiscard]] OffsetResult withStartCorrection(const SyncEngine& engine, OffsetResult offset,
                                               const DriftAnalysis& drift);

} // namespace corvale
