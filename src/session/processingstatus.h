// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "syncresult.h"

#include <QString>

#include <variant>

namespace corvale {

// The state of one file during a run; complete carries the result, failed the message.
class ProcessingStatus {
public:
    enum class Kind {
        complete,
        failed,
        waiting,
        converting,
        analyzing,
        processing,
        normalizing,
        cancelled, // the run stopped before this file was finished
    };

    ProcessingStatus() : m_kind(Kind::waiting) {}
    static ProcessingStatus waiting() { return ProcessingStatus(Kind::waiting); }
    static ProcessingStatus converting() { return ProcessingStatus(Kind::converting); }
    static ProcessingStatus analyzing() { return ProcessingStatus(Kind::analyzing); }
    static ProcessingStatus processing() { return ProcessingStatus(Kind::processing); }
    static ProcessingStatus normalizing() { return ProcessingStatus(Kind::normalizing); }
    static ProcessingStatus cancelled() { return ProcessingStatus(Kind::cancelled); }
    static ProcessingStatus failed(QString message);
    static ProcessingStatus complete(SyncResult result);

    [[nodiscard]] Kind kind() const { return m_kind; }
    [[nodiscard]] bool is(Kind k) const { return m_kind == k; }
    // Only for complete.
    [[nodiscard]] const SyncResult* result() const { return std::get_if<SyncResult>(&m_payload); }
    // Empty unless failed.
    [[nodiscard]] QString failureMessage() const;
    // converting, analyzing, processing or normalizing.
    [[nodiscard]] bool isInProgress() const;

    bool operator==(const ProcessingStatus&) const = default;

private:
    explicit ProcessingStatus(Kind kind) : m_kind(kind) {}
    Kind m_kind;
    std::variant<std::monostate, QString, SyncResult> m_payload;
};

// The status line shown for a file.
[[nodiscard]] QString statusText(const ProcessingStatus& status);
// A non-negative offset magnitude: "12.34s", "1:02", "1:02:05".
[[nodiscard]] QString formatOffset(double seconds);
// Seconds to whole seconds, halves away from zero.
[[nodiscard]] long long roundHalfAway(double value);

} // namespace corvale
