// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "loudnessgain.h"
#include "publishfile.h"
#include "quietmapbuilder.h"
#include "result.h"
#include "sync/finealign.h"
#include "sync/synctypes.h"

#include <QString>

#include <cstdint>
#include <memory>
#include <optional>
#include <stop_token>
#include <vector>

namespace corvale {

// One part of an output: a converted WAV placed at offsetSeconds on the reference's timeline.
struct SyncPart {
    QString inputWAV;
    std::int64_t channel = 0; // beyond the last channel selects the last
    double offsetSeconds = 0.0;
    std::vector<DriftPoint> driftPoints; // any order
    // Channel the quiet map is built from (clamped like channel). A file analysed from one
    // side only sets it to that side; otherwise channel 0.
    std::int64_t quietMapChannel = 0;
    // The quiet map of quietMapChannel when it was made while the file was analysed; used when
    // its size fits the input, otherwise the writer makes its own.
    std::shared_ptr<const std::vector<bool>> quietMap;
    // The fine stage's fitted clock, in samples at the input's rate. When set, offsetSeconds
    // only orders the parts and driftPoints are not used: the part is placed at the fitted
    // start to the sample and each segment is resampled by its fitted ratio (copied as it is
    // when the ratio moves it by less than half a sample); between segments the output is
    // padded with silence or input is skipped, so that each segment starts where its line says.
    std::vector<ClockSegment> clock;
};

// One planned change of the input stream.
struct Correction {
    std::int64_t inputPosition = 0; // input frame where the change is made
    std::int64_t delta = 0;         // > 0: insert silent frames; < 0: skip input frames
    bool operator==(const Correction&) const = default;
};

// How an output is written beyond its parts. The default writes it as it comes.
struct OutputOptions {
    // Integrated loudness (LUFS) to bring the output to with a plain gain, or none.
    std::optional<double> loudnessTargetLUFS;
};

// What became of an output's loudness when a target was asked for. Figures in LUFS and dB.
struct OutputLoudness {
    double targetLUFS = 0.0;
    // As written, before any gain; -infinity when nothing rises above the meter's absolute
    // gate (silence), NaN when it could not be measured at all.
    double measuredLUFS = 0.0;
    std::optional<double> gainDb; // none when within kLoudnessToleranceLU, or on failure
    std::int64_t clippedSamples = 0;
    // The published file's loudness: measured plus the gain, measured again on the file when the
    // gain clipped; none when normalisation failed.
    std::optional<double> reachedLUFS;
    // Why the output was published as written, without normalisation.
    std::optional<QString> failure;
};

struct WrittenOutput {
    QString path; // really written, which may be another name than the one asked for
    std::optional<OutputLoudness> loudness; // when OutputOptions asked for a target
};

// Writes a synced mono 16-bit WAV from parts, correcting drift at quiet places.
class AudioOutputWriter {
public:
    // A window (in frames) whose RMS (samples in -1 ... 1) is below the threshold is quiet; the
    // window is also the smallest drift step corrected. The radius, in frames, is how far from
    // a correction's nominal place a quiet place is sought. Frame counts at every sample rate.
    float silenceThreshold = QuietMapSettings{}.threshold;
    std::int64_t silenceWindowSamples = QuietMapSettings{}.window;
    std::int64_t searchRadiusSamples = 661500;

    // How stretches of a 16-bit mono input reach the output: copied by the kernel wherever it
    // accepts to (falling back to reading and writing here where it refuses), or always read
    // and written here. The output's bytes are the same either way.
    enum class Copying { inKernelWherePossible, throughBuffers };
    Copying copying = Copying::inKernelWherePossible;

    // A stretch resampled to follow a clock is cut in two halves resampled at once, on two
    // cores, from this many input frames on (about six minutes at 48 kHz). The second half
    // keeps its place to a few hundredths of a frame (under 0.001 ms at 48 kHz): libsoxr steps
    // its phase in finite precision, so two streams of one ratio part by that much in an hour.
    std::int64_t cutStretchesFrom = std::int64_t(1) << 24;

    [[nodiscard]] QuietMapSettings quietMapSettings() const {
        return {silenceWindowSamples, silenceThreshold};
    }

    // Writes under a temporary name in the output's folder and publishes it under output only
    // when complete, never replacing anything there (a dangling link included): when the name
    // was taken meanwhile, nextName offers the next one. Returns the path really written. On
    // failure or cancellation nothing is left behind. Errors: cannotWriteAudio (also for a
    // part whose offset is not finite, and for a name taken with no next one), the library's
    // or system's error (passedOn), cancelled.
    [[nodiscard]] Result<QString> write(const std::vector<SyncPart>& parts, const QString& output,
                                        std::stop_token stop = {},
                                        const NextName& nextName = {}) const;

    // write(), and with a loudness target: measures the samples as they are written, then,
    // when the output is more than kLoudnessToleranceLU off target, multiplies the unpublished
    // file by the plain gain in place, and only then publishes it. An output whose loudness
    // cannot be measured (silence) is published as written with OutputLoudness::failure set;
    // that is not an error. A cancel at any step leaves nothing behind. Errors: as write().
    [[nodiscard]] Result<WrittenOutput> writeOutput(const std::vector<SyncPart>& parts,
                                                    const QString& output,
                                                    const OutputOptions& options,
                                                    std::stop_token stop = {},
                                                    const NextName& nextName = {}) const;

    // The quiet map write() makes of one channel of a WAV file (channel clamped).
    [[nodiscard]] Result<std::vector<bool>> quietMap(const QString& inputWAV, std::int64_t channel,
                                                     std::stop_token stop = {}) const;

    [[nodiscard]] std::vector<Correction> planCorrections(std::vector<DriftPoint> points,
                                                          std::int64_t trim,
                                                          const std::vector<bool>& quietMap,
                                                          double sampleRate) const;
    [[nodiscard]] std::optional<std::int64_t>
    findQuietPosition(std::int64_t nominal, std::int64_t need,
                      const std::vector<bool>& quietMap) const;
};

} // namespace corvale
