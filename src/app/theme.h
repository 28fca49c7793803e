// SPDX-License-Identifier: GPL-3.0-or-later
// Colours and text sizes named by role, so every view draws the same "secondary" or "caption".
#pragma once

#include <QColor>
#include <QFont>

class QProgressBar;

class QWidget;

namespace corvale::theme {

[[nodiscard]] QColor primary();
[[nodiscard]] QColor secondary();
[[nodiscard]] QColor accent();
[[nodiscard]] QColor orange();
[[nodiscard]] QColor green();
[[nodiscard]] QColor red();
// text colour at the given opacity, for fills and frames
[[nodiscard]] QColor tinted(const QColor& color, double opacity);

[[nodiscard]] QFont headline();
[[nodiscard]] QFont subheadline();
[[nodiscard]] QFont callout();
[[nodiscard]] QFont caption();
[[nodiscard]] QFont medium();

// Sets a widget's font and text colour (through its palette, so style sheets stay free).
void style(QWidget* widget, const QFont& font, const QColor& color);

// The thin, textless run progress bar of the main window and the floater, in thousandths.
void styleRunProgress(QProgressBar* bar);

} // namespace corvale::theme
