// SPDX-License-Identifier: GPL-3.0-or-later
#include "soundbank.h"

#include "session/preferences.h"

#include <QSoundEffect>
#include <QUrl>

#include <sndfile.h>

#include <cmath>
#include <numbers>

namespace corvale {
namespace {

constexpr int kRate = 44100;

enum class Voice { bell, pluck, buzz, sweep, blip };

struct Note {
    double start;  // seconds
    double freq;   // Hz
    double length; // seconds
    double decay;  // envelope time constant, seconds
};

struct Recipe {
    Voice voice;
    std::vector<Note> notes;
};

Recipe recipeFor(const QString& name) {
    using V = Voice;
    if (name == QLatin1String("Basso"))
        return {V::buzz, {{0, 110, 0.45, 0.18}}};
    if (name == QLatin1String("Blow"))
        return {V::sweep, {{0, 520, 0.45, 0.2}}};
    if (name == QLatin1String("Bottle"))
        return {V::pluck, {{0, 392, 0.35, 0.08}}};
    if (name == QLatin1String("Frog"))
        return {V::buzz, {{0, 180, 0.12, 0.05}, {0.14, 160, 0.14, 0.06}}};
    if (name == QLatin1String("Funk"))
        return {V::pluck, {{0, 196, 0.3, 0.09}, {0.08, 294, 0.3, 0.09}}};
    if (name == QLatin1String("Glass"))
        return {V::bell, {{0, 1568, 0.7, 0.22}}};
    if (name == QLatin1String("Hero"))
        return {V::bell, {{0, 523, 0.25, 0.1}, {0.12, 659, 0.25, 0.1}, {0.24, 784, 0.6, 0.2}}};
    if (name == QLatin1String("Morse"))
        return {V::blip, {{0, 880, 0.06, 1}, {0.1, 880, 0.06, 1}, {0.2, 880, 0.18, 1}}};
    if (name == QLatin1String("Ping"))
        return {V::bell, {{0, 1318, 0.5, 0.14}}};
    if (name == QLatin1String("Pop"))
        return {V::pluck, {{0, 660, 0.12, 0.025}}};
    if (name == QLatin1String("Purr"))
        return {V::buzz, {{0, 70, 0.5, 0.2}}};
    if (name == QLatin1String("Sosumi"))
        return {V::bell, {{0, 988, 0.2, 0.08}, {0.11, 740, 0.4, 0.12}}};
    if (name == QLatin1String("Submarine"))
        return {V::bell, {{0, 330, 0.8, 0.3}}};
    if (name == QLatin1String("Tink"))
        return {V::bell, {{0, 2637, 0.2, 0.04}}};
    return {V::blip, {}};
}

double sample(Voice voice, const Note& note, double t) {
    const double twoPi = 2.0 * std::numbers::pi;
    const double attack = std::min(1.0, t / 0.004); // no click at the start
    const double env = attack * std::exp(-t / note.decay);
    switch (voice) {
    case Voice::bell:
        return env * (0.7 * std::sin(twoPi * note.freq * t) +
                      0.2 * std::sin(twoPi * note.freq * 2.76 * t) * std::exp(-t / 0.05) +
                      0.1 * std::sin(twoPi * note.freq * 5.4 * t) * std::exp(-t / 0.02));
    case Voice::pluck:
        return env *
               (0.8 * std::sin(twoPi * note.freq * t) + 0.2 * std::sin(twoPi * note.freq * 2 * t));
    case Voice::buzz: {
        double s = 0;
        for (int k = 1; k <= 9; k += 2)
            s += std::sin(twoPi * note.freq * k * t) / k;
        return env * 0.6 * s;
    }
    case Voice::sweep: {
        const double f = note.freq * (1.0 - 0.4 * t / note.length);
        return env * std::sin(twoPi * f * t);
    }
    case Voice::blip: {
        const double release = std::min(1.0, (note.length - t) / 0.005);
        return attack * std::max(0.0, release) * std::sin(twoPi * note.freq * t);
    }
    }
    return 0.0;
}

} // namespace

SoundBank::SoundBank(QObject* parent) : QObject(parent) {}

SoundBank::~SoundBank() {
    // The effects go before the folder that holds their files.
    qDeleteAll(m_effects);
    m_effects.clear();
}

bool SoundBank::knows(const QString& name) {
    return Preferences::kCompletionSounds.contains(name);
}

std::vector<float> SoundBank::synthesize(const QString& name) {
    if (!knows(name))
        return {};
    const Recipe recipe = recipeFor(name);
    double end = 0;
    for (const Note& note : recipe.notes)
        end = std::max(end, note.start + note.length);
    std::vector<float> out(std::size_t(std::ceil((end + 0.02) * kRate)), 0.0f);
    for (const Note& note : recipe.notes) {
        const auto first = std::size_t(note.start * kRate);
        const auto count = std::size_t(note.length * kRate);
        for (std::size_t i = 0; i < count && first + i < out.size(); ++i)
            out[first + i] += float(0.35 * sample(recipe.voice, note, double(i) / kRate));
    }
    for (float& s : out)
        s = std::clamp(s, -0.99f, 0.99f);
    return out;
}

QString SoundBank::fileFor(const QString& name) {
    if (const auto found = m_files.constFind(name); found != m_files.cend())
        return *found;
    if (!knows(name))
        return {};
    if (!m_folder)
        m_folder = std::make_unique<QTemporaryDir>();
    if (!m_folder->isValid())
        return {};
    const std::vector<float> samples = synthesize(name);
    const QString path = m_folder->filePath(name + QStringLiteral(".wav"));
    SF_INFO info{};
    info.samplerate = kRate;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* file = sf_open(path.toLocal8Bit().constData(), SFM_WRITE, &info);
    if (!file)
        return {};
    sf_command(file, SFC_SET_CLIPPING, nullptr, SF_TRUE);
    const sf_count_t written = sf_writef_float(file, samples.data(), sf_count_t(samples.size()));
    sf_close(file);
    if (written != sf_count_t(samples.size()))
        return {};
    m_files.insert(name, path);
    return path;
}

void SoundBank::play(const QString& name) {
    QSoundEffect* effect = m_effects.value(name);
    if (!effect) {
        const QString path = fileFor(name);
        if (path.isEmpty())
            return;
        effect = new QSoundEffect(this);
        effect->setSource(QUrl::fromLocalFile(path));
        effect->setVolume(0.8f);
        m_effects.insert(name, effect);
    }
    // Loading is asynchronous: a sound asked for before it is ready plays once it is.
    if (effect->isLoaded()) {
        effect->play();
    } else {
        connect(
            effect, &QSoundEffect::loadedChanged, effect,
            [effect] {
                if (effect->isLoaded())
                    effect->play();
            },
            Qt::SingleShotConnection);
    }
}

} // namespace corvale
