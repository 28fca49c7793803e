// SPDX-License-Identifier: GPL-3.0-or-later
#include "processingstatus.h"

#include <cmath>

namespace corvale {

ProcessingStatus ProcessingStatus::failed(QString message) {
    ProcessingStatus s(Kind::failed);
    s.m_payload = std::move(message);
    return s;
}

ProcessingStatus ProcessingStatus::complete(SyncResult result) {
    ProcessingStatus s(Kind::complete);
    s.m_payload = std::move(result);
    return s;
}

QString ProcessingStatus::failureMessage() const {
    if (const auto* message = std::get_if<QString>(&m_payload))
        return *message;
    return {};
}

bool ProcessingStatus::isInProgress() const {
    return m_kind == Kind::converting || m_kind == Kind::analyzing || m_kind == Kind::processing ||
           m_kind == Kind::normalizing;
}

long long roundHalfAway(double value) {
    return static_cast<long long>(std::llround(value));
}

QString formatOffset(double seconds) {
    if (seconds < 60.0)
        return QString::asprintf("%.2fs", seconds);
    const long long r = roundHalfAway(seconds);
    if (r < 3600)
        return QString::asprintf("%lld:%02lld", r / 60, r % 60);
    return QString::asprintf("%lld:%02lld:%02lld", r / 3600, (r % 3600) / 60, r % 60);
}

QString statusText(const ProcessingStatus& status) {
    using Kind = ProcessingStatus::Kind;
    switch (status.kind()) {
    case Kind::waiting:
        return QStringLiteral("Waiting");
    case Kind::converting:
        return QStringLiteral("Converting…");
    case Kind::analyzing:
        return QStringLiteral("Analyzing…");
    case Kind::processing:
        return QStringLiteral("Processing…");
    case Kind::normalizing:
        return QStringLiteral("Normalizing loudness…");
    case Kind::failed:
        return QStringLiteral("Error: ") + status.failureMessage();
    case Kind::cancelled:
        return QStringLiteral("Cancelled");
    case Kind::complete:
        break;
    }
    const SyncResult& result = *status.result();
    const double o = result.offsetSeconds;
    QString text;
    if (result.notFound)
        text = QStringLiteral("Not found in the reference — best guess ") +
               (std::fabs(o) < 0.1
                    ? QStringLiteral("at the start")
                    : formatOffset(std::fabs(o)) +
                          (o >= 0 ? QStringLiteral(" late") : QStringLiteral(" early")));
    else if (std::fabs(o) < 0.1)
        text = QStringLiteral("Done — nearly in sync");
    else
        text = QStringLiteral("Done — ") + formatOffset(std::fabs(o)) +
               (o >= 0 ? QStringLiteral(" late") : QStringLiteral(" early"));
    if (result.outputURLRight)
        text += QStringLiteral(" · L/R split");
    if (result.mergedPartCount)
        text += QStringLiteral(" · merged (%1 parts)").arg(*result.mergedPartCount);
    if (result.normalizedLUFS)
        text += QString::asprintf(" · Normalized to %.0f LUFS", *result.normalizedLUFS);
    return text;
}

} // namespace corvale
