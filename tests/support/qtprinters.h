// SPDX-License-Identifier: GPL-3.0-or-later
// Readable GoogleTest output for Qt values.
#pragma once

#include <QString>
#include <QStringList>
#include <QUrl>

#include <ostream>

inline void PrintTo(const QString& text, std::ostream* os) {
    *os << '"' << text.toStdString() << '"';
}
inline void PrintTo(const QStringList& list, std::ostream* os) {
    *os << '{' << list.join(QStringLiteral(", ")).toStdString() << '}';
}
inline void PrintTo(const QUrl& url, std::ostream* os) {
    *os << url.toString().toStdString();
}
