// SPDX-License-Identifier: GPL-3.0-or-later
// Where a few seconds of a track lie anywhere in a whole reference, by band-limited,
// whitened waveform correlation (as the fine stage's LagMeter, at a lower rate). Files too
// short for the loudness envelopes to place them, or placed with little confidence, are found
// this way: every lag of the reference is scored, so a clear peak is strong evidence and a
// missing one says the track may not be in the reference at all.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <stop_token>
#include <vector>

namespace corvale {

// The reference, low-passed and decimated once for every search of a run.
struct SearchReference {
    std::vector<float> samples;
    std::int64_t factor = 1; // input samples per sample kept
    std::int64_t presum = 1; // the Decimator's presum
    double rate = 0.0;       // of samples
};

// An empty reference with the decimation for sampleRate: a factor that brings it to about
// 4–5 kHz (none below 8 kHz), presummed by 4 or 3 where the factor allows.
[[nodiscard]] SearchReference searchReferenceFor(double sampleRate);

struct WaveformMatch {
    // Reference sample (at the input's rate) that the query's first sample lines up with,
    // minus the query's own start in its track: the track's offset. Precise to about a sample
    // of the decimated rate.
    double lagSamples = 0.0;
    double peak = 0.0;     // whitened correlation at the best lag (1 for a perfect match)
    double runnerUp = 0.0; // highest correlation at least kRunnerUpSeconds from that lag
    double noise = 0.0;    // RMS of the correlation over every lag searched
    // How far the peak stands above everything else.
    [[nodiscard]] double margin() const { return runnerUp > 0.0 ? peak / runnerUp : 1e9; }
};

// A peak's runner-up lies at least this far from it: closer ones are its own side lobes.
inline constexpr double kRunnerUpSeconds = 1.0;

// Searches every lag at which the query (at the reference's input rate, starting at track
// sample queryStart) fits inside the reference. The band runs from 150 Hz to 2 kHz (less
// below a 4.4 kHz decimated rate). No value when the query is shorter than 1 s or longer than
// the reference, either is silent, or it is cancelled.
[[nodiscard]] std::optional<WaveformMatch> searchWaveform(const SearchReference& reference,
                                                          std::span<const float> query,
                                                          std::int64_t queryStart,
                                                          std::stop_token stop = {});

} // namespace corvale
