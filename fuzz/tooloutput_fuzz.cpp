// SPDX-License-Identifier: GPL-3.0-or-later
// What ffmpeg and ffprobe print, as the conversion's progress and the format probe read it.
#include "fuzzsupport.h"

#include "audio/audioconverter.h"
#include "audio/ffmpeglocator.h"

#include <cmath>

using namespace corvale;
using corvale::fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArray output(reinterpret_cast<const char*>(data), qsizetype(size));
    if (const auto seconds = AudioConverter::progressSeconds(output))
        require(std::isfinite(*seconds) && *seconds >= 0, "progress is a time");
    static const QStringList keys{QStringLiteral("sample_rate"), QStringLiteral("channels"),
                                  QStringLiteral("duration")};
    const QHash<QString, double> values = probeValues(output, keys);
    for (auto it = values.cbegin(); it != values.cend(); ++it)
        require(keys.contains(it.key()) && std::isfinite(it.value()), "only finite asked values");
    return 0;
}
