// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "quietmapbuilder.h"
#include "result.h"
#include "sync/syncengine.h"

#include <QString>

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <stop_token>
#include <vector>

namespace corvale {

// Reads one channel of a WAV file whole. channel beyond the last selects the last channel.
// Reads in chunks of engine.readChunkFrames() with one bounded buffer; checks stop before
// every chunk; a file shorter than its header says yields the frames it holds.
// Errors: the library's open/read error (passedOn), noAudioData for a zero-length file,
// cancelled.
[[nodiscard]] Result<std::vector<float>> loadSamples(const SyncEngine& engine, const QString& path,
                                                     std::int64_t channel,
                                                     std::stop_token stop = {});

// One channel reduced to its blockRMS envelope while reading, the same blocks and arithmetic
// as blockRMS over loadSamples' result, so memory stays at one chunk plus the envelope.
struct TrackEnvelope {
    std::vector<float> envelope;
    std::int64_t frameCount = 0; // frames actually read
    std::vector<bool> quietMap;  // only when asked for
};
// Sees every slice of samples the envelope is made from, in order, so that other copies of the
// same samples (the search's decimated reference) need no read of their own.
using SliceSink = std::function<void(std::span<const float>)>;

// With quiet, the writer's quiet map of the same channel is made in the same pass, so that
// writing need not read the file once more for it.
[[nodiscard]] Result<TrackEnvelope> loadEnvelope(const SyncEngine& engine, const QString& path,
                                                 std::int64_t channel, std::stop_token stop = {},
                                                 std::optional<QuietMapSettings> quiet = {},
                                                 const SliceSink& slices = {});

// The reference's envelope from the sum of its first two channels (divided by two), for a
// two-voice stereo reference. Same errors as loadEnvelope.
[[nodiscard]] Result<TrackEnvelope> loadEnvelopeOfSum(const SyncEngine& engine, const QString& path,
                                                      std::stop_token stop = {});

// The quiet map of one channel (clamped as for loadSamples) of a whole file: one entry per
// whole window of the frames the header promises, those beyond the data present not quiet.
// Checks stop about every ten seconds of audio. An empty file gives an empty map; a read
// buffer that cannot be had gives a map with nothing quiet. Errors: the library's open/read
// error (passedOn), cancelled.
[[nodiscard]] Result<std::vector<bool>> loadQuietMap(const QString& path, std::int64_t channel,
                                                     QuietMapSettings settings,
                                                     std::stop_token stop = {});

// Stereo verdict over at most 30 s from the middle of the file. Fewer than two channels give
// monoOrIdentical without reading. Errors: the library's open/read error.
[[nodiscard]] Result<StereoAnalysis> analyzeStereo(const SyncEngine& engine, const QString& path);

} // namespace corvale
