// SPDX-License-Identifier: GPL-3.0-or-later
// The second opinion for files the loudness envelopes place weakly: their loudest seconds are
// searched for in the whole reference by waveform correlation, and the fine stage then checks
// the place found. Runs off the GUI thread, inside the per-file analysis.
#pragma once

#include "audio/result.h"
#include "sync/waveformsearch.h"

#include <QString>

#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>

namespace corvale {

class SyncEngine;

// The run's reference as the search reads it: decimated by the reference's envelope pass when
// that read the same samples (ready), else on first use, by whichever analysis needs it first;
// then shared by all.
class WaveformReference {
public:
    WaveformReference(QString wav, bool stereo,
                      std::shared_ptr<const SearchReference> ready = nullptr)
        : m_wav(std::move(wav)), m_stereo(stereo), m_reference(std::move(ready)) {}

    // The decimated reference. Errors: the library's read errors, cancelled (a later call
    // tries again).
    [[nodiscard]] Result<std::shared_ptr<const SearchReference>> get(const SyncEngine& engine,
                                                                     std::stop_token stop);

private:
    QString m_wav;
    bool m_stereo;
    std::mutex m_mutex;
    std::shared_ptr<const SearchReference> m_reference;
};

// What the search concluded for one file.
struct WaveformPlacement {
    enum class Verdict {
        placed,    // the file now sits where the search found it
        confirmed, // the search found the place the envelopes gave
        notPlaced, // no clear place, or the fine stage did not agree with it
    };
    Verdict verdict = Verdict::notPlaced;
    std::optional<WaveformMatch> match; // none when nothing could be searched (silence)
    double queryStartSeconds = 0.0;     // where the searched seconds start in the track
    double listenAtSeconds = 0.0;       // reference time where they sit as the file is placed
    double sampleRate = 0.0;            // the unit of match->lagSamples
};

[[nodiscard]] QString rawValue(WaveformPlacement::Verdict verdict);

// A peak counts as a place only when it stands at least this many times above the highest
// correlation anywhere else in the reference. Measured on generated sessions (30 and 60 min;
// AAC, phone-band and 44.1 kHz references; MP3, WAV and noisy clips of 10–60 s on clocks 60
// to 760 ppm off): clips that belong there stood 2.9–21 times above the rest, audio from
// other conversations and noise at most 1.23 times. 2 lies between the two, well clear of
// both.
inline constexpr double kPlacementMargin = 2.0;

// A place found this clearly stands without the fine stage's check when the file holds too
// little speech for one (its windows abstain): impostors reached 1.23 and clips that belong
// there 2.9–21, the short clips with 2–4 s of speech among them 3.4 and 5.2. Between
// kPlacementMargin and this the file is still placed by the search, with a review warning.
inline constexpr double kClearPlacementMargin = 3.0;
// Fewer windows with a clear peak than this and the fine stage has no verdict of its own.
inline constexpr int kFineVerdictWindows = 3;

// Files shorter than this always get the search: below it the envelopes' 30 s segments
// overlap, so their cross-check is no independent evidence.
inline constexpr double kLongFileSeconds = 360.0;

} // namespace corvale
