// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QStringList>
#include <QWidget>

class QCheckBox;
class QComboBox;
class QPushButton;

namespace corvale {

class LabelColorPicker;
class SessionHost;

// The settings window's content. Every control writes its preference key the moment it
// changes; nothing is kept here, and the run reads the same keys with the same defaults.
class PreferencesView : public QWidget {
    Q_OBJECT
public:
    // host plays the "Preview" sound; may be null (then nothing plays).
    explicit PreferencesView(SessionHost* host, QWidget* parent = nullptr);

    // Reads every value back from the store.
    void reload();

    [[nodiscard]] QCheckBox* autoPopulateToggle() const { return m_autoPopulate; }
    [[nodiscard]] QCheckBox* dropboxToggle() const { return m_dropbox; }
    [[nodiscard]] QCheckBox* preciseToggle() const { return m_precise; }
    [[nodiscard]] QCheckBox* normalizeToggle() const { return m_normalize; }
    [[nodiscard]] QComboBox* targetPicker() const { return m_target; }
    [[nodiscard]] QCheckBox* labelToggle() const { return m_label; }
    [[nodiscard]] LabelColorPicker* labelPicker() const { return m_labelPicker; }
    [[nodiscard]] QCheckBox* chimeToggle() const { return m_chime; }
    [[nodiscard]] QComboBox* soundPicker() const { return m_sound; }
    [[nodiscard]] QPushButton* previewButton() const { return m_preview; }
    // The section headers, in order.
    [[nodiscard]] QStringList sectionTitles() const { return m_sections; }

private:
    void updateDependents();

    SessionHost* m_host;
    QStringList m_sections;
    QCheckBox* m_autoPopulate;
    QCheckBox* m_dropbox;
    QCheckBox* m_precise;
    QCheckBox* m_normalize;
    QWidget* m_targetRow;
    QComboBox* m_target;
    QCheckBox* m_label;
    LabelColorPicker* m_labelPicker;
    QCheckBox* m_chime;
    QWidget* m_soundRow;
    QComboBox* m_sound;
    QPushButton* m_preview;
    bool m_loading = false;
};

} // namespace corvale
