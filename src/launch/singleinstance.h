// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include <optional>

class QLocalServer;
class QLocalSocket;

namespace corvale {

// One Corvale per user: a later start hands its arguments to the running instance over a local
// socket in the user's own runtime folder (never a folder other users can reach), and exits.
class SingleInstance : public QObject {
    Q_OBJECT
public:
    // A message longer than this is refused; a whole request fits many times over.
    static constexpr qint64 maxMessageBytes = 64 * 1024;

    explicit SingleInstance(QString socketPath = defaultSocketPath(), QObject* parent = nullptr);
    ~SingleInstance() override;

    // $XDG_RUNTIME_DIR/corvale.socket, or Qt's private per-user fallback when it is unset.
    [[nodiscard]] static QString defaultSocketPath();
    [[nodiscard]] const QString& socketPath() const { return m_socketPath; }

    // True when a running instance took the arguments (then this start should end). Arguments
    // too long for one message are dropped, and still count as taken.
    [[nodiscard]] bool forwardToRunningInstance(const QStringList& arguments, int timeoutMs = 3000);
    // Starts listening for later starts; false when the socket cannot be made or another
    // instance took it first (then forward to that one).
    [[nodiscard]] bool listen();

    [[nodiscard]] static QByteArray encodeMessage(const QStringList& arguments);
    // The arguments a message's body (what follows the length header) holds; nothing when the
    // body is not exactly one list of strings.
    [[nodiscard]] static std::optional<QStringList> decodeMessageBody(const QByteArray& body);

signals:
    void argumentsReceived(const QStringList& arguments);

private:
    void acceptConnections();
    void readMessage(QLocalSocket* socket);

    QString m_socketPath;
    QLocalServer* m_server = nullptr;
};

} // namespace corvale
