// SPDX-License-Identifier: GPL-3.0-or-later
#include "quietmapbuilder.h"

#include <algorithm>

namespace corvale {

QuietMapBuilder::QuietMapBuilder(QuietMapSettings settings)
    : m_threshold(settings.threshold), m_rms(std::max<std::int64_t>(settings.window, 1)) {}

void QuietMapBuilder::push(std::span<const float> samples) {
    m_rms.push(samples);
    // Only the windows completed by this slice are waiting; the map keeps one bit per window.
    for (const float rms : m_rms.takeEnvelope())
        m_map.push_back(rms < m_threshold);
}

} // namespace corvale
