#pragma once

// A proxy listening on a free loopback port, destinations the tests control, and small SOCKS4
// client helpers, shared by the relay's end-to-end tests.

#include "acl/allowlist.h"
#include "relay/relay.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <memory>
#include <netinet/in.h>
#include <sys/socket.h>
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
    QByteArray r = QByteArray::fromHex("04") + char(command) + char(port >> 8) + char(port);
    for (int shift = 24; shift >= 0; shift -= 8)
        r += char(address >> shift);
    return r + userId + '\0';
}

/// A request that leaves resolving the host name to the proxy (address 0.0.0.1).
inline QByteArray nameRequest(quint16 port, const QByteArray &host, const QByteArray &user = "bob")
{
    return request(port, user, 1, 1) + host + '\0';
}

/// The 8-byte reply naming 127.0.0.1 (or 0.0.0.1 for a request by name): 0x5a grants,
/// 0x5b tells that the destination failed.
inline QByteArray grantFor(quint16 port, char code = 0x5a, bool byName = false)
{
    return QByteArray(1, '\0') + code + char(port >> 8) + char(port)
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

/// A socket that collects what it receives (while `reading`) and notes when it is closed.
struct Peer
{
    std::unique_ptr<QTcpSocket> socket;
    QByteArray received;
    bool closed = false;
    bool reading = true;

    explicit Peer(QTcpSocket *s = new QTcpSocket) : socket(s)
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
};

/// A client of the proxy.
struct Client : Peer
{
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
    std::vector<std::unique_ptr<Peer>> peers;
    bool echo = false;

    Destination()
    {
        server.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&server, &QTcpServer::newConnection, &server, [this] {
            while (QTcpSocket *s = server.nextPendingConnection()) {
                Peer *peer = peers.emplace_back(std::make_unique<Peer>(s)).get();
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
/// the kernel drops every further SYN, so a connection to it stays under way.
struct Blackhole
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    quint16 port = 0;
    QTcpSocket filler;

    Blackhole()
    {
        sockaddr_in a { AF_INET, 0, { htonl(INADDR_LOOPBACK) }, {} };
        socklen_t length = sizeof a;
        auto *address = reinterpret_cast<sockaddr *>(&a);
        if (::bind(fd, address, length) == 0 && ::listen(fd, 0) == 0
            && ::getsockname(fd, address, &length) == 0) {
            filler.connectToHost(QHostAddress::LocalHost, ntohs(a.sin_port));
            port = filler.waitForConnected(5000) ? ntohs(a.sin_port) : 0;
        }
    }
    ~Blackhole() { ::close(fd); }
};

} // namespace harness
