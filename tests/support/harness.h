#pragma once

// A proxy listening on a free loopback port, destinations the tests control, and small SOCKS4
// client helpers, shared by the relay's end-to-end tests.

#include "acl/allowlist.h"
#include "relay/relay.h"

#include <QHostAddress>
#include <QSignalSpy>
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
    QByteArray r;
    r += char(4);
    r += char(command);
    r += char(port >> 8);
    r += char(port & 0xff);
    for (int shift = 24; shift >= 0; shift -= 8)
        r += char((address >> shift) & 0xff);
    return r + userId + '\0';
}

/// The 8-byte reply for 127.0.0.1: 0x5a is the grant, 0x5b the failure.
inline QByteArray grantFor(quint16 port, char code = 0x5a)
{
    return QByteArray(1, '\0') + code + char(port >> 8) + char(port & 0xff)
        + QByteArray::fromHex("7f000001");
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

/// A destination server on loopback that keeps every accepted connection and what it received.
struct Destination
{
    QTcpServer server;
    std::vector<std::unique_ptr<QTcpSocket>> peers;
    std::vector<QByteArray> received;
    bool echo = false;
    bool reading = true;

    Destination()
    {
        server.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&server, &QTcpServer::newConnection, &server, [this] {
            while (QTcpSocket *s = server.nextPendingConnection()) {
                const size_t index = peers.size();
                peers.emplace_back(s);
                s->setParent(nullptr);
                received.emplace_back();
                QObject::connect(s, &QTcpSocket::readyRead, s, [this, s, index] {
                    if (!reading)
                        return;
                    const QByteArray bytes = s->readAll();
                    received[index] += bytes;
                    if (echo)
                        s->write(bytes);
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
        sockaddr_in a {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof a;
        if (::bind(fd, reinterpret_cast<sockaddr *>(&a), length) != 0 || ::listen(fd, 0) != 0
            || ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &length) != 0)
            return;
        filler.connectToHost(QHostAddress::LocalHost, ntohs(a.sin_port));
        if (filler.waitForConnected(5000))
            port = ntohs(a.sin_port);
    }
    ~Blackhole() { ::close(fd); }
};

/// A client socket that collects what it receives and notes when the proxy closes it.
struct Client
{
    QTcpSocket socket;
    QByteArray received;
    bool closed = false;
    bool reading = true;

    Client()
    {
        QObject::connect(&socket, &QTcpSocket::readyRead, &socket, [this] {
            if (reading)
                received += socket.readAll();
        });
        QObject::connect(&socket, &QTcpSocket::disconnected, &socket, [this] {
            if (socket.isOpen())
                received += socket.readAll();
            closed = true;
        });
    }
    bool connectTo(quint16 port, const QHostAddress &from = QHostAddress::LocalHost)
    {
        if (from != QHostAddress::LocalHost && !socket.bind(from, 0))
            return false;
        socket.connectToHost(QHostAddress::LocalHost, port);
        return QTest::qWaitFor(
            [this] { return socket.state() == QAbstractSocket::ConnectedState; });
    }
};

} // namespace harness
