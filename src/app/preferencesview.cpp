// SPDX-License-Identifier: GPL-3.0-or-later
#include "preferencesview.h"

#include "labelcolorpicker.h"

#include "session/preferences.h"
#include "session/sessionhost.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSettings>
#include <QVBoxLayout>

#include <array>
#include <utility>

namespace corvale {
namespace {

const std::array<std::pair<const char*, double>, 3> kLoudnessTargets{{
    {"-16 LUFS (Apple Podcasts)", -16.0},
    {"-19 LUFS (Mono podcasts)", -19.0},
    {"-23 LUFS (EBU R128)", -23.0},
}};

// The stored label number as it is, so that one outside the table shows no choice; the
// processing side reads such a number as "no label".
int storedLabelNumber() {
    const QSettings settings(QStringLiteral("Corvale"), QStringLiteral("Corvale"));
    const QVariant value = settings.value(QStringLiteral("finderLabelNumber"));
    bool ok = false;
    const int number = value.toString().trimmed().toInt(&ok);
    return ok ? number : Preferences::finderLabelNumber();
}

QWidget* pickerRow(const QString& title, QComboBox* picker, QWidget* extra = nullptr) {
    auto* row = new QWidget;
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(new QLabel(title));
    layout->addStretch();
    layout->addWidget(picker);
    if (extra)
        layout->addWidget(extra);
    return row;
}

} // namespace


PreferencesView::PreferencesView(SessionHost* host, QWidget* parent)
    : QWidget(parent), m_host(host),
      m_autoPopulate(
          new QCheckBox(QStringLiteral("Auto-populate files to sync from nearby folders"))),
      m_dropbox(new QCheckBox(QStringLiteral("Just use the uploader's name for Dropbox files"))),
      m_precise(new QCheckBox(QStringLiteral("Align to the sample and follow clock drift"))),
      m_normalize(new QCheckBox(QStringLiteral("Normalize loudness of synced files"))),
      m_target(new QComboBox),
      m_label(new QCheckBox(QStringLiteral("Apply a color label to synced output files"))),
      m_labelPicker(new LabelColorPicker), m_chime(new QCheckBox(QStringLiteral("Play a sound"))),
      m_sound(new QComboBox), m_preview(new QPushButton(QStringLiteral("Preview"))) {
    setFixedWidth(400);
    auto* stack = new QVBoxLayout(this);
    stack->setContentsMargins(16, 16, 16, 16);
    stack->setSpacing(12);
    const auto section = [&](const QString& title, std::initializer_list<QWidget*> widgets) {
        auto* box = new QGroupBox(title);
        auto* layout = new QVBoxLayout(box);
        layout->setSpacing(8);
        for (QWidget* widget : widgets)
            layout->addWidget(widget);
        stack->addWidget(box);
        m_sections << title;
    };
    for (const auto& [text, value] : kLoudnessTargets)
        m_target->addItem(QString::fromUtf8(text), value);
    m_sound->addItems(Preferences::kCompletionSounds);
    m_targetRow = pickerRow(QStringLiteral("Target"), m_target);
    m_soundRow = pickerRow(QStringLiteral("Sound"), m_sound, m_preview);

    section(QStringLiteral("Files"), {m_autoPopulate, m_dropbox, m_precise});
    section(QStringLiteral("Loudness"), {m_normalize, m_targetRow});
    section(QStringLiteral("Color Label"), {m_label, m_labelPicker});
    section(QStringLiteral("When sync completes"), {m_chime, m_soundRow});
    stack->addStretch();

    const auto writeBool = [this](void (*setter)(bool)) {
        return [this, setter](bool on) {
            if (m_loading)
                return;
            setter(on);
            updateDependents();
        };
    };
    connect(m_autoPopulate, &QCheckBox::toggled, this,
            writeBool(&Preferences::setAutoPopulateFiles));
    connect(m_dropbox, &QCheckBox::toggled, this, writeBool(&Preferences::setRenameForDropbox));
    connect(m_precise, &QCheckBox::toggled, this, writeBool(&Preferences::setPreciseAlignment));
    connect(m_normalize, &QCheckBox::toggled, this, writeBool(&Preferences::setNormalizeLoudness));
    connect(m_label, &QCheckBox::toggled, this, writeBool(&Preferences::setFinderLabelEnabled));
    connect(m_chime, &QCheckBox::toggled, this, writeBool(&Preferences::setChimeWhenDone));
    connect(m_target, &QComboBox::activated, this, [this](int index) {
        if (!m_loading && index >= 0)
            Preferences::setTargetLUFS(m_target->itemData(index).toDouble());
    });
    connect(m_sound, &QComboBox::activated, this, [this](int index) {
        if (!m_loading && index >= 0)
            Preferences::setCompletionSound(m_sound->itemText(index));
    });
    connect(m_labelPicker, &LabelColorPicker::selectedChanged, this, [this](int number) {
        if (!m_loading)
            Preferences::setFinderLabelNumber(number);
    });
    connect(m_preview, &QPushButton::clicked, this, [this] {
        if (m_host)
            m_host->playSound(Preferences::completionSound());
    });
    reload();
}

void PreferencesView::reload() {
    m_loading = true;
    m_autoPopulate->setChecked(Preferences::autoPopulateFiles());
    m_dropbox->setChecked(Preferences::renameForDropbox());
    m_precise->setChecked(Preferences::preciseAlignment());
    m_normalize->setChecked(Preferences::normalizeLoudness());
    m_target->setCurrentIndex(m_target->findData(Preferences::targetLUFS()));
    m_label->setChecked(Preferences::finderLabelEnabled());
    m_labelPicker->setSelected(storedLabelNumber());
    m_chime->setChecked(Preferences::chimeWhenDone());
    m_sound->setCurrentIndex(m_sound->findText(Preferences::completionSound()));
    m_loading = false;
    updateDependents();
}

void PreferencesView::updateDependents() {
    m_targetRow->setVisible(m_normalize->isChecked());
    m_labelPicker->setVisible(m_label->isChecked());
    m_soundRow->setVisible(m_chime->isChecked());
    adjustSize();
}

} // namespace corvale
