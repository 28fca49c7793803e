// SPDX-License-Identifier: GPL-3.0-or-later
// What the fuzz targets share: the process's one application object and argument lists.
#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <QStringList>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace corvale::fuzz {

// Some Qt calls want an application object; libFuzzer's own arguments are kept from it.
inline void ensureApplication() {
    static int argc = 1;
    static char name[] = "corvale-fuzz";
    static char* argv[] = {name, nullptr};
    static QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Corvale"));
    QCoreApplication::setApplicationVersion(QStringLiteral("0.1.0"));
}

// The input as a list of arguments, one per NUL-separated piece, each read as UTF-8 (as Qt
// reads a Linux command line).
inline QStringList argumentsOf(const std::uint8_t* data, std::size_t size) {
    QStringList arguments;
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    for (const QByteArray& piece : bytes.split('\0'))
        arguments.append(QString::fromUtf8(piece));
    return arguments;
}

// A property that must hold for every input; its failure is reported as a crash.
inline void require(bool holds, const char* what) {
    if (!holds) {
        std::fprintf(stderr, "property failed: %s\n", what);
        std::abort();
    }
}

} // namespace corvale::fuzz
