// SPDX-License-Identifier: GPL-3.0-or-later
#include "theme.h"

#include <QApplication>
#include <QPalette>
#include <QProgressBar>
#include <QWidget>

namespace corvale::theme {
namespace {

QFont sized(double delta, QFont::Weight weight = QFont::Normal) {
    QFont font = QApplication::font();
    const double base = font.pointSizeF() > 0 ? font.pointSizeF() : 10.0;
    font.setPointSizeF(base + delta);
    font.setWeight(weight);
    return font;
}

QColor mixed(const QColor& a, const QColor& b, double t) {
    return QColor::fromRgbF(float(a.redF() * (1 - t) + b.redF() * t),
                            float(a.greenF() * (1 - t) + b.greenF() * t),
                            float(a.blueF() * (1 - t) + b.blueF() * t));
}

} // namespace

QColor primary() {
    return QApplication::palette().color(QPalette::WindowText);
}

QColor secondary() {
    // An opaque blend reads the same on every background a label may sit on.
    return mixed(QApplication::palette().color(QPalette::Window), primary(), 0.55);
}

QColor accent() {
    return QApplication::palette().color(QPalette::Highlight);
}

QColor orange() {
    return QColor(0xF0, 0x8A, 0x00);
}

QColor green() {
    return QColor(0x2E, 0xB8, 0x4F);
}

QColor red() {
    return QColor(0xE5, 0x39, 0x35);
}

QColor tinted(const QColor& color, double opacity) {
    QColor c = color;
    c.setAlphaF(float(opacity));
    return c;
}

QFont headline() {
    return sized(0.5, QFont::Bold);
}

QFont subheadline() {
    return sized(-0.5);
}

QFont callout() {
    return sized(-0.5);
}

QFont caption() {
    return sized(-1.5);
}

QFont medium() {
    return sized(0, QFont::DemiBold);
}

void style(QWidget* widget, const QFont& font, const QColor& color) {
    widget->setFont(font);
    // Disabled keeps the style's own dimmed colour, so a disabled control looks disabled.
    QPalette palette = widget->palette();
    for (const QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive}) {
        palette.setColor(group, QPalette::WindowText, color);
        palette.setColor(group, QPalette::Text, color);
        palette.setColor(group, QPalette::ButtonText, color);
    }
    widget->setPalette(palette);
}

void styleRunProgress(QProgressBar* bar) {
    bar->setRange(0, 1000);
    bar->setTextVisible(false);
    bar->setFixedHeight(6);
}

} // namespace corvale::theme
