// SPDX-License-Identifier: GPL-3.0-or-later
#include "singleinstance.h"

#include <QDataStream>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QTimer>

namespace corvale {

namespace {

constexpr int headerBytes = 4;
constexpr int clientTimeoutMs = 5000;
constexpr auto streamVersion = QDataStream::Qt_6_0;
// An entry of the list is at least its four-byte length.
constexpr int minEntryBytes = 4;

} // namespace

SingleInstance::SingleInstance(QString socketPath, QObject* parent)
    : QObject(parent), m_socketPath(std::move(socketPath)) {}

SingleInstance::~SingleInstance() = default;

QString SingleInstance::defaultSocketPath() {
    // Qt checks that the runtime folder belongs to the user and is private (0700).
    QString folder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (folder.isEmpty())
        folder = QDir::homePath();
    return folder + QStringLiteral("/corvale.socket");
}

QByteArray SingleInstance::encodeMessage(const QStringList& arguments) {
    QByteArray body;
    QDataStream out(&body, QIODevice::WriteOnly);
    out.setVersion(streamVersion);
    out << arguments;
    QByteArray message;
    QDataStream header(&message, QIODevice::WriteOnly);
    header << quint32(body.size());
    return message + body;
}

bool SingleInstance::forwardToRunningInstance(const QStringList& arguments, int timeoutMs) {
    QLocalSocket socket;
    socket.connectToServer(m_socketPath);
    if (!socket.waitForConnected(timeoutMs))
        return false;
    // Only the first file of a request is used; a selection too large for one message loses
    // its tail, never the whole request.
    QStringList fitting = arguments;
    QByteArray message = encodeMessage(fitting);
    while (message.size() - headerBytes > maxMessageBytes && fitting.size() > 1) {
        fitting.resize(fitting.size() / 2);
        message = encodeMessage(fitting);
    }
    if (message.size() - headerBytes > maxMessageBytes)
        return true; // no file name is that long: nothing worth handing over
    socket.write(message);
    // waitForBytesWritten() is false when all was already written: look at what is left.
    while (socket.bytesToWrite() > 0) {
        if (!socket.waitForBytesWritten(timeoutMs))
            return false;
    }
    // The instance closes the connection once it has read the message.
    if (socket.state() != QLocalSocket::UnconnectedState)
        socket.waitForDisconnected(timeoutMs);
    return true;
}

bool SingleInstance::listen() {
    if (m_server)
        return m_server->isListening();
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    m_server->setMaxPendingConnections(8);
    // Another start may have begun listening since this one tried to connect, and listening
    // with access options replaces whatever is at the path: a socket that answers must stay.
    // One that nobody answers is a leftover of a crash.
    QLocalSocket probe;
    probe.connectToServer(m_socketPath);
    if (probe.waitForConnected(500))
        return false;
    QLocalServer::removeServer(m_socketPath);
    if (!m_server->listen(m_socketPath))
        return false;
    connect(m_server, &QLocalServer::newConnection, this, &SingleInstance::acceptConnections);
    return true;
}

void SingleInstance::acceptConnections() {
    while (QLocalSocket* socket = m_server->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { readMessage(socket); });
        // A peer that never finishes its message is dropped.
        QTimer::singleShot(clientTimeoutMs, socket, [socket] { socket->abort(); });
        readMessage(socket);
    }
}

void SingleInstance::readMessage(QLocalSocket* socket) {
    if (socket->bytesAvailable() < headerBytes)
        return;
    QDataStream headerStream(socket->peek(headerBytes));
    quint32 length = 0;
    headerStream >> length;
    if (length > maxMessageBytes) {
        socket->abort();
        return;
    }
    if (socket->bytesAvailable() < headerBytes + qint64(length))
        return;
    socket->skip(headerBytes);
    const std::optional<QStringList> arguments = decodeMessageBody(socket->read(length));
    socket->disconnectFromServer();
    if (arguments)
        emit argumentsReceived(*arguments);
}

std::optional<QStringList> SingleInstance::decodeMessageBody(const QByteArray& body) {
    QDataStream in(body);
    in.setVersion(streamVersion);
    // The list is read entry by entry: Qt's own list reading reserves room for whatever count
    // the message claims before it reads any entry, so that a dozen bytes from anyone who can
    // reach the socket ask for gigabytes and end the instance.
    quint32 count = 0;
    in >> count;
    if (in.status() != QDataStream::Ok || count > quint32(body.size() / minEntryBytes))
        return std::nullopt;
    QStringList arguments;
    arguments.reserve(count);
    for (quint32 i = 0; i < count; ++i) {
        QString argument;
        in >> argument;
        if (in.status() != QDataStream::Ok)
            return std::nullopt;
        arguments.append(argument);
    }
    if (!in.atEnd())
        return std::nullopt;
    return arguments;
}

} // namespace corvale
