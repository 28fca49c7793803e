// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

#include <functional>
#include <optional>

namespace corvale::test {

// The system's ffmpeg, for tests that run the real tool.
[[nodiscard]] QString realFFmpeg();
[[nodiscard]] QString realFFprobe();

// Runs the event loop until condition holds or timeoutMs passes; returns the condition.
bool waitUntil(const std::function<bool()>& condition, int timeoutMs = 60000);

// How many processes this process started still exist (those ended but not yet reaped count).
[[nodiscard]] int childProcessCount();

// The size of a file this process holds open in folder that no name leads to (an output being
// written); nothing when there is none.
[[nodiscard]] std::optional<qint64> unnamedFileSize(const QString& folder);

// Writes an executable shell script at dir/name that stands in for a tool (failure paths only).
QString makeFakeTool(const QString& dir, const QString& name, const QString& scriptBody);

} // namespace corvale::test
