// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

namespace corvale {

// Errors of the audio side. The first six kinds are the product's own with fixed texts;
// `cancelled` is the cancellation of the calling task and `passedOn` carries an error of the
// operating system or the audio-file library unchanged.
class CorvaleError {
public:
    enum class Kind {
        conversionFailed,
        cannotReadAudio,
        cannotWriteAudio,
        syncFailed,
        ffmpegNotFound,
        noAudioData,
        cancelled,
        passedOn,
    };

    CorvaleError(Kind kind, QString detail = {}) : m_kind(kind), m_detail(std::move(detail)) {}

    static CorvaleError conversionFailed(QString d) {
        return {Kind::conversionFailed, std::move(d)};
    }
    static CorvaleError cannotReadAudio(QString d) { return {Kind::cannotReadAudio, std::move(d)}; }
    static CorvaleError cannotWriteAudio(QString d) {
        return {Kind::cannotWriteAudio, std::move(d)};
    }
    static CorvaleError syncFailed(QString d) { return {Kind::syncFailed, std::move(d)}; }
    static CorvaleError ffmpegNotFound() { return {Kind::ffmpegNotFound}; }
    static CorvaleError noAudioData() { return {Kind::noAudioData}; }
    static CorvaleError cancelled() { return {Kind::cancelled}; }
    static CorvaleError passedOn(QString message) { return {Kind::passedOn, std::move(message)}; }

    [[nodiscard]] Kind kind() const { return m_kind; }
    [[nodiscard]] const QString& detail() const { return m_detail; }
    [[nodiscard]] bool isCancellation() const { return m_kind == Kind::cancelled; }
    // The text shown to the user.
    [[nodiscard]] QString errorDescription() const;

    bool operator==(const CorvaleError&) const = default;

private:
    Kind m_kind;
    QString m_detail;
};

} // namespace corvale
