// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "sync/envelope.h"

#include <cstdint>
#include <span>
#include <vector>

namespace corvale {

// What counts as quiet enough to take a drift correction unheard. The same values serve at
// every sample rate (at 44.1 kHz a window is 10 ms).
struct QuietMapSettings {
    std::int64_t window = 441; // frames per window; below 1 is taken as 1
    float threshold = 0.003f;  // a window whose RMS (samples in -1 ... 1) is below this is quiet
};

// The quiet map of one channel: one flag per whole window counted from the first sample (a
// trailing partial window has none), true when the window's RMS is below the threshold. Fed
// consecutive slices of any size; the map does not depend on how the samples were sliced.
class QuietMapBuilder {
public:
    explicit QuietMapBuilder(QuietMapSettings settings = {});
    void push(std::span<const float> samples);
    [[nodiscard]] const std::vector<bool>& map() const { return m_map; }
    [[nodiscard]] std::vector<bool> takeMap() { return std::move(m_map); }

private:
    float m_threshold;
    EnvelopeAccumulator m_rms; // the windows' RMS, single precision, as the analysis computes it
    std::vector<bool> m_map;
};

} // namespace corvale
