// SPDX-License-Identifier: GPL-3.0-or-later
#include "colorlabel.h"

#include "preferences.h"

#include <QFile>

#include <sys/xattr.h>

namespace corvale {
namespace {
constexpr const char* kTagAttribute = "user.xdg.tags";
}

void applyColorLabel(const QString& path, int number) {
    const QByteArray name = Preferences::labelName(number).toUtf8();
    if (name.isEmpty())
        return;
    const QByteArray encoded = QFile::encodeName(path);
    // ENOTSUP and friends are expected on some file systems and change nothing.
    (void)::setxattr(encoded.constData(), kTagAttribute, name.constData(),
                     static_cast<size_t>(name.size()), 0);
}

QString colorLabelOf(const QString& path) {
    const QByteArray encoded = QFile::encodeName(path);
    char buffer[256];
    const ssize_t size = ::getxattr(encoded.constData(), kTagAttribute, buffer, sizeof buffer);
    if (size <= 0)
        return {};
    return QString::fromUtf8(buffer, static_cast<qsizetype>(size));
}

} // namespace corvale
