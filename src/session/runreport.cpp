// SPDX-License-Identifier: GPL-3.0-or-later
#include "runreport.h"

namespace corvale {

QString ItemFailure::message() const {
    QString verb;
    switch (step) {
    case RunStep::probe:
        verb = QStringLiteral("Cannot read");
        break;
    case RunStep::convert:
        verb = QStringLiteral("Cannot convert");
        break;
    case RunStep::analyze:
        verb = QStringLiteral("Cannot analyze");
        break;
    case RunStep::write:
        verb = QStringLiteral("Cannot write");
        break;
    case RunStep::normalize:
        verb = QStringLiteral("Cannot normalize");
        break;
    case RunStep::label:
        verb = QStringLiteral("Cannot label");
        break;
    }
    // The error's own kind prefix ("Cannot write audio: ") would say the step twice.
    const QString why = error.detail().isEmpty() ? error.errorDescription() : error.detail();
    return QStringLiteral("%1 %2: %3").arg(verb, path, why);
}

ItemVerdict ItemReport::verdict() const {
    if (const SyncResult* r = result())
        return r->verdict();
    return failure() ? ItemVerdict::failed : ItemVerdict::cancelled;
}

int RunReport::count(ItemVerdict verdict) const {
    int n = 0;
    for (const ItemReport& item : items)
        n += item.verdict() == verdict ? 1 : 0;
    return n;
}

bool RunReport::isClean() const {
    return outcome == RunOutcome::succeeded && count(ItemVerdict::placed) == items.size();
}

QString RunReport::counts() const {
    QStringList parts;
    auto add = [&](ItemVerdict verdict, const QString& one, const QString& many) {
        if (const int n = count(verdict))
            parts << QStringLiteral("%1 %2").arg(n).arg(n == 1 ? one : many);
    };
    add(ItemVerdict::placed, QStringLiteral("synced"), QStringLiteral("synced"));
    add(ItemVerdict::needsReview, QStringLiteral("needs review"), QStringLiteral("need review"));
    add(ItemVerdict::notFound, QStringLiteral("not found"), QStringLiteral("not found"));
    add(ItemVerdict::failed, QStringLiteral("failed"), QStringLiteral("failed"));
    add(ItemVerdict::cancelled, QStringLiteral("cancelled"), QStringLiteral("cancelled"));
    if (referenceCopy.state == ReferenceCopyReport::State::failed)
        parts << QStringLiteral("reference copy failed");
    return parts.join(QStringLiteral(" · "));
}

QString RunReport::summary(const QString& elapsed) const {
    if (outcome == RunOutcome::cancelled) {
        // Worth counting only when something was finished before the stop.
        const bool finished = count(ItemVerdict::cancelled) < items.size();
        return finished ? QStringLiteral("Cancelled — ") + counts() : QStringLiteral("Cancelled");
    }
    if (runFailure)
        return *runFailure;
    const QString c = counts();
    return QStringLiteral("Finished in %1").arg(elapsed) +
           (c.isEmpty() ? QString() : QStringLiteral(" — ") + c);
}

RunOutcome outcomeOf(const RunReport& report, bool cancelled) {
    if (cancelled)
        return RunOutcome::cancelled;
    if (report.runFailure)
        return RunOutcome::failed;
    if (report.referenceCopy.state == ReferenceCopyReport::State::failed)
        return RunOutcome::completedWithFailures;
    for (const ItemReport& item : report.items) {
        const SyncResult* result = item.result();
        if (!result)
            return RunOutcome::completedWithFailures;
        for (const SyncWarning& warning : result->warnings) {
            if (warning.kind == WarningKind::normalizationFailed)
                return RunOutcome::completedWithFailures;
        }
    }
    return RunOutcome::succeeded;
}

} // namespace corvale
