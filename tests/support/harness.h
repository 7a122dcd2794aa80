#pragma once

// The proxy on a free loopback port, users who log in, destinations the tests control, and small
// SOCKS clients, shared by the relay's end-to-end tests.

#include "acl/guard.h"
#include "acl/logins.h"
#include "acl/users.h"
#include "net/resolver.h"
#include "relay/relay.h"
#include "ui/eventlog.h"

#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace harness {

inline QByteArray pattern(qsizetype size, int seed = 0)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i + seed + i / 251) & 0xff);
    return bytes;
}

inline QByteArray port16(quint16 port)
{
    return QByteArray(1, char(port >> 8)) + char(port);
}

inline QByteArray request(
    quint16 port, const QByteArray &userId = "bob", quint32 address = 0x7f000001)
{
    return QByteArray::fromHex("0401") + port16(port) + port16(address >> 16) + port16(address)
        + userId + '\0';
}

/// SOCKS4a: the proxy resolves the name (address 0.0.0.1).
inline QByteArray nameRequest(quint16 port, const QByteArray &host)
{
    return request(port, "bob", 1) + host + '\0';
}

/// A SOCKS5 greeting offering "no authentication", then a CONNECT to a name (ATYP 3), or to an
/// address given as its ATYP byte and bytes.
inline QByteArray socks5(quint16 port, const QByteArray &host, char atyp = 3)
{
    const QByteArray to = atyp == 3 ? char(host.size()) + host : host;
    return QByteArray::fromHex("050100050100") + atyp + to + port16(port);
}

/// The SOCKS4 reply naming 127.0.0.1 (0.0.0.1 for a failed request by name).
inline QByteArray grantFor(quint16 port, char code = 0x5a, bool byName = false)
{
    return QByteArray(1, 0) + code + port16(port)
        + QByteArray::fromHex(byName ? "00000001" : "7f000001");
}

/// Names answered from a table (an entry without a value is never answered); the others by the
/// system's resolver, which the tests ask only for names in /etc/hosts.
struct Names final : net::Resolver
{
    std::map<QString, std::optional<QHostInfo>> table;
    std::map<int, Answer> waiting;
    net::HostResolver system;
    int nextId = 1'000'000;
    int aborted = 0;

    /// `addresses` in this order; none at all is "no such name".
    void add(const QString &name, const QList<QHostAddress> &addresses)
    {
        QHostInfo info;
        info.setAddresses(addresses);
        if (addresses.isEmpty()) {
            info.setError(QHostInfo::HostNotFound);
            info.setErrorString(QStringLiteral("Host not found"));
        }
        table[name] = info;
    }
    int lookup(const QString &name, Answer answer) override
    {
        const auto it = table.find(name);
        if (it == table.end())
            return system.lookup(name, std::move(answer));
        const int id = nextId++;
        waiting.emplace(id, std::move(answer));
        if (it->second)
            QTimer::singleShot(0, &system, [this, id, info = *it->second] {
                if (auto node = waiting.extract(id))
                    node.mapped()(info);
            });
        return id;
    }
    void abort(int id) override
    {
        if (id < 1'000'000)
            system.abort(id);
        else
            aborted += int(waiting.erase(id));
    }
};

/// The proxy under test with its log collected; clients on `allowed` are served.
struct Proxy
{
    acl::AllowList allowed;
    Names names;
    relay::Relay relay { allowed, names };
    QStringList log;
    quint16 port = 0;

    Proxy()
    {
        allowed.append(QStringLiteral("127.0.0.1"));
        QObject::connect(&relay, &relay::Relay::Reported, &relay, [this](const relay::Event &e) {
            if (e.kind != relay::Event::Kind::Ended)
                log << ui::logLine(e);
        });
        relay.wsListener().setLocalPort(0);
        if (relay.wsListener().Listen())
            port = relay.wsListener().LocalPort();
    }
};

/// The users (alice, "right"), their logins on a clock the test moves, and a guard to which
/// every client is from elsewhere; made before the proxy and gone after it.
struct Users
{
    QTemporaryDir dir;
    acl::Users users { dir.path() };
    acl::Logins::Clock::time_point now {};
    acl::Logins logins { users, [this] { return now; } };
    acl::Guard guard { [] { return QList<QHostAddress> {}; } };
    Users()
    {
        users.setPassword("alice", "right", acl::HashCost::Minimal);
        guard.setClientIsHere([](const QHostAddress &) { return false; });
    }
};

/// One end of a connection: collects what it receives (while `reading`), notes its end.
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
    bool connectTo(quint16 port, const QHostAddress &from = QHostAddress::LocalHost,
        const QHostAddress &to = QHostAddress::LocalHost)
    {
        if (from != to && !socket->bind(from, 0))
            return false;
        socket->connectToHost(to, port);
        return QTest::qWaitFor([this] { return socket->state() == QTcpSocket::ConnectedState; });
    }
    /// Reading paused: the kernel's buffers fill and TCP holds the sender back.
    void pause()
    {
        reading = false;
        socket->setReadBufferSize(4096);
    }
    void resume()
    {
        reading = true;
        socket->setReadBufferSize(0);
        received += socket->readAll();
    }
    void reset()
    {
        const linger hard { 1, 0 };
        ::setsockopt(int(socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        socket->abort();
    }
};

/// A destination server on loopback that keeps every accepted connection.
struct Destination
{
    QTcpServer server;
    std::vector<std::unique_ptr<Client>> peers;

    explicit Destination(const QHostAddress &at = QHostAddress::LocalHost)
    {
        server.listen(at, 0);
        QObject::connect(&server, &QTcpServer::newConnection, &server, [this] {
            while (QTcpSocket *s = server.nextPendingConnection())
                peers.emplace_back(std::make_unique<Client>(s));
        });
    }
    quint16 port() const { return server.serverPort(); }
    Client &peer() { return *peers.at(0); }
};

// Blocking socket calls for peers that run on threads of their own. Qt's sockets end the whole
// connection at the peer's end of sending, so half-closing peers are written with plain sockets.
inline bool writeAll(int fd, const QByteArray &bytes)
{
    for (qsizetype sent = 0; sent < bytes.size();) {
        const ssize_t n =
            ::send(fd, bytes.constData() + sent, size_t(bytes.size() - sent), MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        sent += n;
    }
    return true;
}
/// Reads `size` bytes, or to the peer's end when size is -1.
inline QByteArray readAll(int fd, qsizetype size = -1)
{
    QByteArray got;
    char buffer[65536];
    while (size < 0 || got.size() < size) {
        const size_t room =
            size < 0 ? sizeof buffer : std::min<size_t>(sizeof buffer, size_t(size - got.size()));
        const ssize_t n = ::recv(fd, buffer, room, 0);
        if (n <= 0)
            break;
        got.append(buffer, n);
    }
    return got;
}
inline int connectTo(quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in to { AF_INET, htons(port), { htonl(INADDR_LOOPBACK) }, {} };
    if (::connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

/// A loopback server whose connections are served one after another by `serve`, on a thread.
struct ThreadServer
{
    int fd = -1;
    quint16 port = 0;
    std::thread thread;

    explicit ThreadServer(std::function<void(int)> serve)
    {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in at { AF_INET, 0, { htonl(INADDR_LOOPBACK) }, {} };
        auto *a = reinterpret_cast<sockaddr *>(&at);
        socklen_t length = sizeof at;
        if (::bind(fd, a, length) != 0 || ::listen(fd, 16) != 0 || ::getsockname(fd, a, &length))
            return;
        port = ntohs(at.sin_port);
        thread = std::thread([this, serve] {
            for (int c; (c = ::accept(fd, nullptr, nullptr)) >= 0;) {
                serve(c);
                ::close(c);
            }
        });
    }
    ~ThreadServer()
    {
        ::shutdown(fd, SHUT_RDWR); // ends the accept
        if (thread.joinable())
            thread.join();
        ::close(fd);
    }
};

/// Runs a shell pipeline (real clients such as curl and ncat) within a bound; the tool
/// named first must be installed, or the test is skipped.
inline bool runPipeline(const QString &tool, const QString &pipeline, QByteArray &out)
{
    if (QStandardPaths::findExecutable(tool).isEmpty())
        return false;
    QProcess p;
    p.start(QStringLiteral("sh"), { QStringLiteral("-c"), pipeline });
    // The proxy runs on this thread's event loop: wait by running it, never by blocking.
    if (!QTest::qWaitFor([&p] { return p.state() == QProcess::NotRunning; }, 60000)) {
        p.kill();
        qWarning("timed out: %s", qPrintable(pipeline));
    }
    out = p.readAllStandardOutput();
    if (p.exitCode() != 0)
        qWarning("%s: %s", qPrintable(pipeline), p.readAllStandardError().constData());
    return true;
}

} // namespace harness
