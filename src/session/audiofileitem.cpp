// SPDX-License-Identifier: GPL-3.0-or-later
#include "audiofileitem.h"

namespace corvale {

AudioFileItem::AudioFileItem(QUrl url, QObject* parent)
    : QObject(parent), m_id(QUuid::createUuid()), m_url(std::move(url)) {}

void AudioFileItem::setUrl(const QUrl& url) {
    if (m_url == url)
        return;
    m_url = url;
    emit urlChanged();
}

void AudioFileItem::setStatus(const ProcessingStatus& status) {
    if (m_status == status)
        return;
    m_status = status;
    emit statusChanged();
}

} // namespace corvale
