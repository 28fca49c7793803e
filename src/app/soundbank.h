// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QHash>
#include <QObject>
#include <QString>
#include <QTemporaryDir>

#include <memory>
#include <vector>

class QSoundEffect;

namespace corvale {

// Corvale's own completion sounds, one per name of the preferences' list, synthesised into a
// private temporary folder on first use and played with Qt Multimedia. An unknown name, a
// failed write or a machine without a sound device plays nothing and reports nothing.
class SoundBank : public QObject {
    Q_OBJECT
public:
    explicit SoundBank(QObject* parent = nullptr);
    ~SoundBank() override;

    [[nodiscard]] static bool knows(const QString& name);
    // The mono samples of a sound at 44.1 kHz; empty for an unknown name.
    [[nodiscard]] static std::vector<float> synthesize(const QString& name);
    // The WAV file of a sound, written on first use; empty when it cannot be.
    [[nodiscard]] QString fileFor(const QString& name);
    void play(const QString& name);

private:
    std::unique_ptr<QTemporaryDir> m_folder;
    QHash<QString, QString> m_files;
    QHash<QString, QSoundEffect*> m_effects;
};

} // namespace corvale
