// SPDX-License-Identifier: GPL-3.0-or-later
#include "waveformplacement.h"

#include "audio/samplereader.h"
#include "audio/windowreader.h"
#include "sync/bandlimit.h"
#include "sync/syncengine.h"

namespace corvale {

Result<std::shared_ptr<const SearchReference>> WaveformReference::get(const SyncEngine& engine,
                                                                      std::stop_token stop) {
    // Analyses that need it meanwhile wait here rather than decimate the reference again.
    std::lock_guard lock(m_mutex);
    if (m_reference)
        return m_reference;
    WindowReader::Mix mix = WindowReader::Mix::channel;
    if (m_stereo) {
        if (auto checked = analyzeStereo(engine, m_wav);
            checked && checked.value().kind == StereoAnalysis::Kind::split)
            mix = WindowReader::Mix::sumOfFirstTwo;
    }
    const std::int64_t chunk = engine.readChunkFrames();
    WindowReader reader;
    if (auto opened = reader.open(m_wav, mix, 0, chunk); !opened)
        return opened.error();
    auto reference = std::make_shared<SearchReference>(searchReferenceFor(engine.sampleRate()));
    reference->samples.reserve(std::size_t(reader.frames() / reference->factor + 1));
    Decimator decimator(reference->factor, reference->presum);
    for (std::int64_t at = 0; at < reader.frames(); at += chunk) {
        if (stop.stop_requested())
            return CorvaleError::cancelled();
        auto read = reader.read(at, std::min(chunk, reader.frames() - at));
        if (!read)
            return read.error();
        decimator.push(read.value(), reference->samples);
    }
    decimator.finish(reference->samples);
    m_reference = std::move(reference);
    return m_reference;
}

QString rawValue(WaveformPlacement::Verdict verdict) {
    switch (verdict) {
    case WaveformPlacement::Verdict::placed:
        return QStringLiteral("placed");
    case WaveformPlacement::Verdict::confirmed:
        return QStringLiteral("confirmed");
    case WaveformPlacement::Verdict::notPlaced:
        break;
    }
    return QStringLiteral("notPlaced");
}

} // namespace corvale
