#include "endpoint.h"

#include "listenserver.h"

#include <QHostAddress>
#include <QNetworkInterface>
#include <QTcpSocket>
#include <QTimer>

#include <fcntl.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace net {

namespace {

/// Peers are reported as plain dotted IPv4 even when the socket layer hands us a mapped form.
QString dotted(const QHostAddress &address)
{
    bool ok = false;
    const quint32 v4 = address.toIPv4Address(&ok);
    return ok ? QHostAddress(v4).toString() : address.toString();
}

/// Half-closes the sending side once everything queued is in the kernel, keeps swallowing what
/// the peer still sends (closing a socket with unread input resets the connection, and a reset
/// can destroy bytes the peer has not read yet), and lets the socket go when the peer closes
/// too or the bound runs out.
void linger(QTcpSocket *socket, int timeoutMs)
{
    const auto finishSending = [socket] {
        if (socket->bytesToWrite() == 0 && socket->state() == QAbstractSocket::ConnectedState)
            ::shutdown(static_cast<int>(socket->socketDescriptor()), SHUT_WR);
    };
    QObject::connect(socket, &QTcpSocket::bytesWritten, socket, finishSending);
    QObject::connect(socket, &QTcpSocket::readyRead, socket, [socket] { socket->readAll(); });
    QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    QObject::connect(socket, &QTcpSocket::errorOccurred, socket, [socket] {
        socket->abort();
        socket->deleteLater();
    });
    QTimer::singleShot(timeoutMs, socket, [socket] {
        socket->abort();
        socket->deleteLater();
    });
    socket->readAll();
    finishSending();
}

} // namespace

Endpoint::Endpoint(QObject *parent) : QObject(parent) { }

Endpoint::~Endpoint() = default;

quint32 Endpoint::LocalPort() const
{
    if (m_server)
        return m_server->serverPort();
    if (m_socket)
        return m_socket->localPort();
    return m_localPort;
}

QString Endpoint::LocalIP() const
{
    if (m_socket && m_socket->state() == QAbstractSocket::ConnectedState)
        return dotted(m_socket->localAddress());
    for (const QHostAddress &a : QNetworkInterface::allAddresses()) {
        if (a.protocol() == QAbstractSocket::IPv4Protocol && !a.isLoopback())
            return dotted(a);
    }
    return QStringLiteral("127.0.0.1");
}

bool Endpoint::Listen()
{
    if (m_state != sckClosed) {
        m_errorString = tr("The endpoint is already in use");
        return false;
    }
    auto *server = new ListenServer(this);
    if (!server->listen(QHostAddress::AnyIPv4, static_cast<quint16>(m_localPort))) {
        m_errorString = server->errorString();
        delete server;
        return false;
    }
    connect(server, &QTcpServer::acceptError, this, [this, server] {
        if (server == m_server)
            Q_EMIT Error(static_cast<int>(server->serverError()), server->errorString());
    });
    m_server = server;
    ++m_generation;
    m_state = sckListening;
    return true;
}

void Endpoint::onIncoming(qintptr descriptor)
{
    sockaddr_storage peer {};
    socklen_t length = sizeof peer;
    if (::getpeername(static_cast<int>(descriptor), reinterpret_cast<sockaddr *>(&peer), &length)
        == 0) {
        const QHostAddress address(reinterpret_cast<const sockaddr *>(&peer));
        m_remoteHostIP = dotted(address);
        m_remotePort = ntohs(reinterpret_cast<const sockaddr_in *>(&peer)->sin_port);
        Q_EMIT ConnectionRequest(descriptor);
    }
    // Accept() works on a duplicate, so this closes the request unless somebody took it.
    ::close(static_cast<int>(descriptor));
}

bool Endpoint::Accept(qintptr requestID)
{
    if (m_state != sckClosed)
        return false;
    const int own = ::fcntl(static_cast<int>(requestID), F_DUPFD_CLOEXEC, 0);
    if (own < 0)
        return false;
    auto *socket = new QTcpSocket(this);
    if (!socket->setSocketDescriptor(own)) {
        ::close(own);
        delete socket;
        return false;
    }
    attach(socket);
    m_state = sckConnected;
    m_remoteHostIP = dotted(socket->peerAddress());
    m_remotePort = socket->peerPort();
    return true;
}

bool Endpoint::Connect(const QString &host, quint32 port)
{
    if (m_state != sckClosed)
        return false;
    auto *socket = new QTcpSocket(this);
    attach(socket);
    m_state = sckConnecting;
    m_remoteHostIP = host;
    m_remotePort = port;
    socket->connectToHost(host, static_cast<quint16>(port));
    return true;
}

void Endpoint::attach(QTcpSocket *socket)
{
    m_socket = socket;
    ++m_generation;
    m_paused = false;
    m_peerClosed = false;
    m_arrivalPosted = false;
    m_errorString.clear();
    socket->setReadBufferSize(ReadChunk);

    // Every handler checks that the socket is still ours: Close() disconnects them, and this
    // keeps a late signal from the old socket away from the next connection all the same.
    connect(socket, &QTcpSocket::connected, this, [this, socket] {
        if (socket != m_socket)
            return;
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        m_state = sckConnected;
        m_remoteHostIP = dotted(socket->peerAddress());
        m_remotePort = socket->peerPort();
        Q_EMIT Connected();
    });
    connect(socket, &QTcpSocket::readyRead, this, [this, socket] {
        if (socket == m_socket)
            onReadyRead();
    });
    connect(socket, &QTcpSocket::readChannelFinished, this, [this, socket] {
        if (socket == m_socket)
            onPeerClosed();
    });
    connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
        if (socket == m_socket)
            onPeerClosed();
    });
    connect(socket, &QTcpSocket::bytesWritten, this, [this, socket] {
        if (socket == m_socket)
            Q_EMIT SendProgress(socket->bytesToWrite());
    });
    connect(socket, &QTcpSocket::errorOccurred, this,
        [this, socket](QAbstractSocket::SocketError error) {
            // The peer closing is the Closed event, not a failure.
            if (socket != m_socket || error == QAbstractSocket::RemoteHostClosedError
                || m_state == sckError)
                return;
            m_state = sckError;
            m_errorString = socket->errorString();
            Q_EMIT Error(static_cast<int>(error), m_errorString);
        });
    if (socket->state() == QAbstractSocket::ConnectedState)
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
}

void Endpoint::SendData(const QByteArray &bytes)
{
    if (!m_socket || m_state != sckConnected || bytes.isEmpty())
        return;
    m_socket->write(bytes);
}

QByteArray Endpoint::GetData(qint64 maxLen)
{
    if (!m_socket)
        return {};
    QByteArray bytes = maxLen < 0 ? m_socket->readAll() : m_socket->read(maxLen);
    if (m_peerClosed && m_socket->bytesAvailable() == 0) {
        // Raise the close only after the owner's handler has dealt with these bytes.
        QMetaObject::invokeMethod(
            this,
            [this, generation = m_generation] {
                if (generation == m_generation)
                    maybeRaiseClosed();
            },
            Qt::QueuedConnection);
    }
    return bytes;
}

qint64 Endpoint::TransferTo(Endpoint &to, qint64 maxLen)
{
    const QByteArray chunk = GetData(maxLen);
    to.SendData(chunk);
    return chunk.size();
}

qint64 Endpoint::BytesAvailable() const
{
    return m_socket ? m_socket->bytesAvailable() : 0;
}

qint64 Endpoint::BytesToSend() const
{
    return m_socket ? m_socket->bytesToWrite() : 0;
}

void Endpoint::PauseReading()
{
    m_paused = true;
}

void Endpoint::ResumeReading()
{
    if (!m_paused)
        return;
    m_paused = false;
    postDataArrival();
}

void Endpoint::onReadyRead()
{
    if (m_paused || m_state != sckConnected)
        return;
    const qint64 available = m_socket->bytesAvailable();
    if (available > 0)
        Q_EMIT DataArrival(available);
}

void Endpoint::onPeerClosed()
{
    if (m_peerClosed || m_state == sckError)
        return;
    m_peerClosed = true;
    if (m_socket->bytesAvailable() > 0)
        postDataArrival();
    else
        maybeRaiseClosed();
}

void Endpoint::maybeRaiseClosed()
{
    if (!m_socket || !m_peerClosed || m_state != sckConnected || m_socket->bytesAvailable() > 0)
        return;
    m_state = sckClosing;
    Q_EMIT Closed();
}

void Endpoint::postDataArrival()
{
    if (m_arrivalPosted)
        return;
    m_arrivalPosted = true;
    QMetaObject::invokeMethod(
        this,
        [this, generation = m_generation] {
            if (generation != m_generation)
                return;
            m_arrivalPosted = false;
            if (m_paused || !m_socket)
                return;
            if (m_socket->bytesAvailable() > 0)
                onReadyRead();
            else
                maybeRaiseClosed();
        },
        Qt::QueuedConnection);
}

void Endpoint::Close()
{
    ++m_generation;
    m_state = sckClosed;
    m_paused = false;
    m_peerClosed = false;
    m_arrivalPosted = false;
    if (m_server) {
        m_server->disconnect(this);
        m_server->close();
        m_server->deleteLater();
        m_server = nullptr;
    }
    if (m_socket) {
        QTcpSocket *socket = m_socket;
        m_socket = nullptr;
        socket->disconnect(this);
        detachAndLinger(socket);
    }
}

void Endpoint::detachAndLinger(QTcpSocket *socket)
{
    if (socket->state() == QAbstractSocket::ConnectedState
        || (socket->state() == QAbstractSocket::ClosingState && socket->bytesToWrite() > 0)) {
        socket->setReadBufferSize(0);
        linger(socket, LingerTimeoutMs);
    } else {
        socket->abort();
        socket->deleteLater();
    }
}

} // namespace net
