// SPDX-License-Identifier: GPL-3.0-or-later
#include "preferences.h"

#include <QHash>
#include <QMutex>
#include <QMutexLocker>
#include <QSettings>
#include <QVariant>

#include <array>
#include <cmath>
#include <optional>

namespace corvale {

const QStringList Preferences::kCompletionSounds{
    QStringLiteral("Basso"),     QStringLiteral("Blow"),  QStringLiteral("Bottle"),
    QStringLiteral("Frog"),      QStringLiteral("Funk"),  QStringLiteral("Glass"),
    QStringLiteral("Hero"),      QStringLiteral("Morse"), QStringLiteral("Ping"),
    QStringLiteral("Pop"),       QStringLiteral("Purr"),  QStringLiteral("Sosumi"),
    QStringLiteral("Submarine"), QStringLiteral("Tink")};
namespace {

// Runs read preferences from worker threads while the front end may set overrides.
QMutex& overrideLock() {
    static QMutex lock;
    return lock;
}

QHash<QString, QVariant>& overrides() {
    static QHash<QString, QVariant> values;
    return values;
}

QVariant stored(const QString& key) {
    {
        const QMutexLocker locker(&overrideLock());
        const auto it = overrides().constFind(key);
        if (it != overrides().cend())
            return *it;
    }
    const QSettings settings(QStringLiteral("Corvale"), QStringLiteral("Corvale"));
    return settings.value(key);
}

void store(const QString& key, const QVariant& value) {
    QSettings settings(QStringLiteral("Corvale"), QStringLiteral("Corvale"));
    settings.setValue(key, value);
}

// Text stores keep every value as text, so the text forms are parsed too; anything else
// (including words such as "yes") is not a boolean.
std::optional<bool> asBool(const QVariant& v) {
    switch (v.typeId()) {
    case QMetaType::Bool:
        return v.toBool();
    case QMetaType::Int:
    case QMetaType::LongLong:
    case QMetaType::UInt:
    case QMetaType::ULongLong: {
        const qlonglong n = v.toLongLong();
        if (n == 0 || n == 1)
            return n == 1;
        return std::nullopt;
    }
    case QMetaType::QString: {
        const QString text = v.toString();
        if (text == QLatin1String("true") || text == QLatin1String("1"))
            return true;
        if (text == QLatin1String("false") || text == QLatin1String("0"))
            return false;
        return std::nullopt;
    }
    default:
        return std::nullopt;
    }
}

bool readBool(const QString& key, bool fallback) {
    return asBool(stored(key)).value_or(fallback);
}

} // namespace

bool Preferences::autoPopulateFiles() {
    return readBool(QStringLiteral("autoPopulateFiles"), true);
}

bool Preferences::renameForDropbox() {
    return readBool(QStringLiteral("renameForDropbox"), true);
}

bool Preferences::chimeWhenDone() {
    return readBool(QStringLiteral("chimeWhenDone"), true);
}

QString Preferences::completionSound() {
    const QVariant v = stored(QStringLiteral("completionSound"));
    if (v.typeId() != QMetaType::QString)
        return QStringLiteral("Glass");
    return v.toString();
}

bool Preferences::normalizeLoudness() {
    return readBool(QStringLiteral("normalizeLoudness"), false);
}

double Preferences::targetLUFS() {
    const QVariant v = stored(QStringLiteral("targetLUFS"));
    bool ok = false;
    double value = 0.0;
    switch (v.typeId()) {
    case QMetaType::Double:
    case QMetaType::Float:
    case QMetaType::Int:
    case QMetaType::LongLong:
        value = v.toDouble(&ok);
        break;
    case QMetaType::QString:
        value = v.toString().toDouble(&ok); // always "." as the decimal point
        break;
    default:
        break;
    }
    // A non-finite target would turn into a non-finite gain.
    return ok && std::isfinite(value) ? value : -16.0;
}

bool Preferences::finderLabelEnabled() {
    return readBool(QStringLiteral("finderLabelEnabled"), false);
}

int Preferences::finderLabelNumber() {
    const QVariant v = stored(QStringLiteral("finderLabelNumber"));
    bool ok = false;
    qlonglong number = 0;
    switch (v.typeId()) {
    case QMetaType::Int:
    case QMetaType::LongLong:
    case QMetaType::UInt:
        number = v.toLongLong(&ok);
        break;
    case QMetaType::QString:
        number = v.toString().toLongLong(&ok);
        break;
    default:
        break;
    }
    if (!ok)
        return 2;
    // The number indexes the label table; one outside it names no label.
    return number >= 0 && number <= 7 ? static_cast<int>(number) : 0;
}

bool Preferences::preciseAlignment() {
    return readBool(QStringLiteral("preciseAlignment"), true);
}

void Preferences::setAutoPopulateFiles(bool on) {
    store(QStringLiteral("autoPopulateFiles"), on);
}

void Preferences::setRenameForDropbox(bool on) {
    store(QStringLiteral("renameForDropbox"), on);
}

void Preferences::setChimeWhenDone(bool on) {
    store(QStringLiteral("chimeWhenDone"), on);
}

void Preferences::setCompletionSound(const QString& name) {
    store(QStringLiteral("completionSound"), name);
}

void Preferences::setNormalizeLoudness(bool on) {
    store(QStringLiteral("normalizeLoudness"), on);
}

void Preferences::setTargetLUFS(double lufs) {
    store(QStringLiteral("targetLUFS"), lufs);
}

void Preferences::setFinderLabelEnabled(bool on) {
    store(QStringLiteral("finderLabelEnabled"), on);
}

void Preferences::setFinderLabelNumber(int number) {
    store(QStringLiteral("finderLabelNumber"), number);
}

void Preferences::setPreciseAlignment(bool on) {
    store(QStringLiteral("preciseAlignment"), on);
}

void Preferences::setOverride(const QString& key, const QVariant& value) {
    const QMutexLocker locker(&overrideLock());
    overrides().insert(key, value);
}

void Preferences::clearOverrides() {
    const QMutexLocker locker(&overrideLock());
    overrides().clear();
}

QString Preferences::labelName(int number) {
    static const std::array<const char*, 8> kNames = {"",     "Gray",   "Green", "Purple",
                                                      "Blue", "Yellow", "Red",   "Orange"};
    if (number < 0 || number > 7)
        return {};
    return QString::fromLatin1(kNames[static_cast<std::size_t>(number)]);
}

} // namespace corvale
