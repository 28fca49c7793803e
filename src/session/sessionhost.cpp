// SPDX-License-Identifier: GPL-3.0-or-later
#include "sessionhost.h"

#include <QCoreApplication>

namespace corvale {

std::optional<QUrl> SessionHost::chooseReferenceFile(const QString&) {
    return std::nullopt;
}

QList<QUrl> SessionHost::chooseIndividualFiles(const QString&) {
    return {};
}

void SessionHost::playSound(const QString&) {}

void SessionHost::quitApplication() {
    QCoreApplication::quit();
}

} // namespace corvale
