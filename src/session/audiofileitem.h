// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "processingstatus.h"

#include <QObject>
#include <QUrl>
#include <QUuid>

namespace corvale {

// One file to sync. Lives on the GUI thread; notifies only when a value really changes.
class AudioFileItem : public QObject {
    Q_OBJECT
public:
    explicit AudioFileItem(QUrl url, QObject* parent = nullptr);

    [[nodiscard]] const QUuid& id() const { return m_id; }
    [[nodiscard]] const QUrl& url() const { return m_url; }
    [[nodiscard]] const ProcessingStatus& status() const { return m_status; }

    void setUrl(const QUrl& url);
    void setStatus(const ProcessingStatus& status);

signals:
    void urlChanged();
    void statusChanged();

private:
    QUuid m_id;
    QUrl m_url;
    ProcessingStatus m_status;
};

} // namespace corvale
