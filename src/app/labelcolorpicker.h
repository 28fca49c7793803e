// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QList>
#include <QWidget>

class QLabel;
class QAbstractButton;

namespace corvale {

// A row of colour-label swatches (red, orange, yellow, green, blue, purple, grey) with a
// checkmark on the chosen one and the chosen label's name below.
class LabelColorPicker : public QWidget {
    Q_OBJECT
public:
    // Display order of the label numbers (0 none, 1 grey, 2 green, 3 purple, 4 blue, 5 yellow,
    // 6 red, 7 orange).
    static const QList<int> kLabelNumbers;
    // The label names by number, "None" first.
    static const QStringList kLabelNames;
    [[nodiscard]] static QColor labelColor(int number);

    explicit LabelColorPicker(QWidget* parent = nullptr);

    void setSelected(int number);
    [[nodiscard]] int selected() const { return m_selected; }
    [[nodiscard]] QList<QAbstractButton*> swatches() const { return m_swatches; }
    // The number whose swatch carries the checkmark, or -1.
    [[nodiscard]] int checkedNumber() const;
    // Empty when the caption is hidden.
    [[nodiscard]] QString caption() const;

signals:
    void selectedChanged(int number);

private:
    void refresh();

    int m_selected = -1;
    QList<QAbstractButton*> m_swatches;
    QLabel* m_caption;
};

} // namespace corvale
