// SPDX-License-Identifier: GPL-3.0-or-later
#include "corvaleerror.h"

namespace corvale {

QString CorvaleError::errorDescription() const {
    switch (m_kind) {
    case Kind::conversionFailed:
        return QStringLiteral("Conversion failed: ") + m_detail;
    case Kind::cannotReadAudio:
        return QStringLiteral("Cannot read audio: ") + m_detail;
    case Kind::cannotWriteAudio:
        return QStringLiteral("Cannot write audio: ") + m_detail;
    case Kind::syncFailed:
        return QStringLiteral("Sync analysis failed: ") + m_detail;
    case Kind::ffmpegNotFound:
        return QStringLiteral("ffmpeg not found. Install it with: sudo apt install ffmpeg");
    case Kind::noAudioData:
        return QStringLiteral("File contains no audio data");
    case Kind::cancelled:
        return QStringLiteral("Cancelled");
    case Kind::passedOn:
        break;
    }
    return m_detail;
}

} // namespace corvale
