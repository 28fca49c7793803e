// SPDX-License-Identifier: GPL-3.0-or-later
#include "synctypes.h"

namespace corvale {

std::string_view rawValue(ConfidenceBand band) {
    switch (band) {
    case ConfidenceBand::high:
        return "high";
    case ConfidenceBand::medium:
        return "medium";
    case ConfidenceBand::low:
        break;
    }
    return "low";
}

std::optional<ConfidenceBand> confidenceBandFromRaw(std::string_view raw) {
    if (raw == "high")
        return ConfidenceBand::high;
    if (raw == "medium")
        return ConfidenceBand::medium;
    if (raw == "low")
        return ConfidenceBand::low;
    return std::nullopt;
}

} // namespace corvale
