#pragma once

// A proxy listening on a free loopback port, destinations the tests control, and small SOCKS4
// client helpers, shared by the relay's end-to-end tests.

#include "acl/allowlist.h"
#include "relay/relay.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <memory>
#include <netinet/in.h>
#include <unistd.h>
#include <vector>

namespace harness {

inline QByteArray pattern(qsizetype size, int seed = 0)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i + seed + i / 256) & 0xff);
    return bytes;
}

inline QByteArray request(quint16 port, const QByteArray &userId = "bob", quint8 command = 1,
    quint32 address = 0x7f000001)
{
    return QByteArray(1, 4) + char(command) + char(port >> 8) + char(port) + char(address >> 24)
        + char(address >> 16) + char(address >> 8) + char(address) + userId + '\0';
}

/// A request that leaves resolving the host name to the proxy (address 0.0.0.1).
inline QByteArray nameRequest(quint16 port, const QByteArray &host, const QByteArray &user = "bob")
{
    return request(port, user, 1, 1) + host + '\0';
}

/// The 8-byte reply naming 127.0.0.1 (0.0.0.1 for a failed request by name): 0x5a grants,
/// 0x5b tells that the destination failed.
inline QByteArray grantFor(quint16 port, char code = 0x5a, bool byName = false)
{
    return QByteArray(1, 0) + code + char(port >> 8) + char(port)
        + QByteArray::fromHex(byName ? "00000001" : "7f000001");
}

/// The proxy under test with its log collected.
struct Proxy
{
    QStringList allowed { QStringLiteral("127.0.0.1") };
    relay::Relay relay { [this](const QString &a) { return acl::admits(allowed, a); } };
    QStringList log;
    quint16 port = 0;

    Proxy()
    {
        QObject::connect(
            &relay, &relay::Relay::LogLine, &relay, [this](const QString &line) { log << line; });
        relay.wsListener().setLocalPort(0);
        if (relay.wsListener().Listen())
            port = static_cast<quint16>(relay.wsListener().LocalPort());
    }
};

/// One end of a connection: collects what it receives (while `reading`), notes its closing.
struct Client
{
    std::unique_ptr<QTcpSocket> socket;
    QByteArray received;
    bool closed = false;
    bool reading = true;

    explicit Client(QTcpSocket *s = new QTcpSocket) : socket(s)
    {
        s->setParent(nullptr);
        QObject::connect(s, &QTcpSocket::readyRead, s, [this] {
            if (reading)
                received += socket->readAll();
        });
        QObject::connect(s, &QTcpSocket::disconnected, s, [this] {
            if (socket->isOpen())
                received += socket->readAll();
            closed = true;
        });
    }
    bool connectTo(quint16 port, const QHostAddress &from = QHostAddress::LocalHost)
    {
        if (from != QHostAddress::LocalHost && !socket->bind(from, 0))
            return false;
        socket->connectToHost(QHostAddress::LocalHost, port);
        return QTest::qWaitFor([this] { return socket->state() == QTcpSocket::ConnectedState; });
    }
};

/// A destination server on loopback that keeps every accepted connection; echoes if asked.
struct Destination
{
    QTcpServer server;
    std::vector<std::unique_ptr<Client>> peers;
    bool echo = false;

    Destination()
    {
        server.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&server, &QTcpServer::newConnection, &server, [this] {
            while (QTcpSocket *s = server.nextPendingConnection()) {
                Client *peer = peers.emplace_back(std::make_unique<Client>(s)).get();
                QObject::connect(s, &QTcpSocket::readyRead, s, [this, peer] {
                    if (echo)
                        peer->socket->write(std::exchange(peer->received, {}));
                });
            }
        });
    }
    quint16 port() const { return server.serverPort(); }
};

/// A loopback port whose accept queue is full (backlog 0 and one connection never accepted):
/// the kernel drops every further SYN, so a connection to it stays under way. open() gives
/// the port (0 if it failed).
struct Blackhole
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address { AF_INET, 0, { htonl(INADDR_LOOPBACK) }, {} };
    QTcpSocket filler;

    quint16 open()
    {
        socklen_t length = sizeof address;
        auto *a = reinterpret_cast<sockaddr *>(&address);
        if (::bind(fd, a, length) != 0 || ::listen(fd, 0) != 0 || ::getsockname(fd, a, &length))
            return 0;
        filler.connectToHost(QHostAddress::LocalHost, ntohs(address.sin_port));
        return filler.waitForConnected(5000) ? ntohs(address.sin_port) : 0;
    }
    ~Blackhole() { ::close(fd); }
};

} // namespace harness
