// SPDX-License-Identifier: GPL-3.0-or-later
#include "labelcolorpicker.h"

#include "glyphs.h"
#include "theme.h"

#include <QAbstractButton>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QVBoxLayout>

namespace corvale {
namespace {

class Swatch : public QAbstractButton {
public:
    Swatch(int number, QWidget* parent) : QAbstractButton(parent), m_number(number) {
        setFixedSize(22, 22);
        setCheckable(true);
        setCursor(Qt::PointingHandCursor);
        setToolTip(LabelColorPicker::kLabelNames.value(number));
        setAccessibleName(LabelColorPicker::kLabelNames.value(number));
    }
    [[nodiscard]] int number() const { return m_number; }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        const QColor color = LabelColorPicker::labelColor(m_number);
        painter.setPen(QPen(color.darker(115), 1));
        painter.setBrush(color);
        painter.drawEllipse(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5));
        if (isChecked()) {
            // A white tick with a soft dark edge reads on the yellow swatch as on the blue.
            const QRectF tick = QRectF(rect()).adjusted(5.5, 5.5, -5.5, -5.5);
            paintGlyph(painter, tick.translated(0, 0.6), Glyph::checkmark, QColor(0, 0, 0, 70));
            paintGlyph(painter, tick, Glyph::checkmark, Qt::white);
        }
        if (hasFocus()) {
            painter.setPen(QPen(theme::accent(), 1.5));
            painter.setBrush(Qt::NoBrush);
            painter.drawEllipse(QRectF(rect()).adjusted(1, 1, -1, -1));
        }
    }

private:
    int m_number;
};

} // namespace

const QList<int> LabelColorPicker::kLabelNumbers{6, 7, 5, 2, 4, 3, 1};
const QStringList LabelColorPicker::kLabelNames{QStringLiteral("None"),  QStringLiteral("Gray"),
                                                QStringLiteral("Green"), QStringLiteral("Purple"),
                                                QStringLiteral("Blue"),  QStringLiteral("Yellow"),
                                                QStringLiteral("Red"),   QStringLiteral("Orange")};

QColor LabelColorPicker::labelColor(int number) {
    switch (number) {
    case 1:
        return QColor(0x98, 0x98, 0x9D);
    case 2:
        return QColor(0x34, 0xC7, 0x59);
    case 3:
        return QColor(0xAF, 0x52, 0xDE);
    case 4:
        return QColor(0x00, 0x7A, 0xFF);
    case 5:
        return QColor(0xFF, 0xCC, 0x00);
    case 6:
        return QColor(0xFF, 0x3B, 0x30);
    case 7:
        return QColor(0xFF, 0x95, 0x00);
    default:
        return QColor(0xD1, 0xD1, 0xD6);
    }
}

LabelColorPicker::LabelColorPicker(QWidget* parent) : QWidget(parent), m_caption(new QLabel) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    auto* title = new QLabel(QStringLiteral("Color"));
    row->addWidget(title, 0, Qt::AlignTop);
    row->addStretch();
    auto* trailing = new QVBoxLayout;
    trailing->setSpacing(5);
    auto* swatches = new QHBoxLayout;
    swatches->setSpacing(8);
    for (const int number : kLabelNumbers) {
        auto* swatch = new Swatch(number, this);
        connect(swatch, &QAbstractButton::clicked, this, [this, number] {
            setSelected(number);
            refresh(); // a click on the checked swatch must leave it checked
        });
        swatches->addWidget(swatch);
        m_swatches.append(swatch);
    }
    trailing->addLayout(swatches);
    theme::style(m_caption, theme::caption(), theme::secondary());
    trailing->addWidget(m_caption, 0, Qt::AlignRight);
    row->addLayout(trailing);
    refresh();
}

void LabelColorPicker::setSelected(int number) {
    if (number == m_selected)
        return;
    m_selected = number;
    refresh();
    emit selectedChanged(number);
}

int LabelColorPicker::checkedNumber() const {
    for (QAbstractButton* button : m_swatches) {
        if (button->isChecked())
            return static_cast<Swatch*>(button)->number();
    }
    return -1;
}

QString LabelColorPicker::caption() const {
    return m_caption->isHidden() ? QString() : m_caption->text();
}

void LabelColorPicker::refresh() {
    for (QAbstractButton* button : m_swatches)
        button->setChecked(static_cast<Swatch*>(button)->number() == m_selected);
    const bool named = m_selected >= 0 && m_selected < kLabelNames.size();
    m_caption->setVisible(named);
    m_caption->setText(named ? kLabelNames.at(m_selected) : QString());
}

} // namespace corvale
