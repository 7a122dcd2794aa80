// The relay end to end over loopback with real sockets (real clients: tst_access). Names not in
// /etc/hosts come from a table (harness::Names), never from a name server.

#include "harness.h"

#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/resource.h>

using namespace harness;
using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using relay::Relay;

namespace {

constexpr int WaitMs = 60'000; // for waits on megabytes: far beyond what a busy machine needs

/// A client whose request is granted and whose destination connection stands.
bool relayed(Proxy &proxy, Destination &destination, Client &client)
{
    if (!client.connectTo(proxy.port))
        return false;
    client.socket->write(request(destination.port()));
    const bool up = QTest::qWaitFor(
        [&] { return client.received.size() == 8 && destination.peers.size() == 1; }, WaitMs);
    client.received.clear();
    return up;
}

} // namespace

class tst_Relay final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void handshakeGrantsAndLogs_data()
    {
        QTest::addColumn<QByteArray>("req"); // %p stands for the destination's port
        QTest::addColumn<QByteArray>("reply"); // the same
        QTest::addColumn<QString>("line");
        QTest::addColumn<bool>("inPieces"); // after a refused first byte, one byte at a time
        const QByteArray v6 = QByteArray(15, 0) + '\1';
        const QByteArray ok5 = QByteArray::fromHex("0500"), granted5 = "\x05\0\0"_ba;
        QTest::newRow("socks4") << request(0) << grantFor(0) << u"from bob to 127.0.0.1"_s << false;
        QTest::newRow("socks4a in pieces")
            << nameRequest(0, "localhost") << grantFor(0) << u"from bob to localhost"_s << true;
        QTest::newRow("socks5 by name in pieces")
            << socks5(0, "localhost") << ok5 + granted5 << u"to localhost"_s << true;
        QTest::newRow("socks5 over IPv6")
            << socks5(0, v6, 4) << ok5 + granted5 + '\4' + v6 << u"to [::1]"_s << false;
    }
    void handshakeGrantsAndLogs()
    {
        QFETCH(QByteArray, req);
        QFETCH(QByteArray, reply);
        QFETCH(QString, line);
        QFETCH(bool, inPieces);
        Proxy proxy;
        Destination destination(
            line.contains(u"::1"_s) ? QHostAddress::LocalHostIPv6 : QHostAddress::LocalHost);
        const quint16 port = destination.port();
        const bool socks4 = req.startsWith('\4');
        req.replace(socks4 ? 2 : req.size() - 2, 2, port16(port));
        Client client;
        QVERIFY(client.connectTo(proxy.port));
        if (inPieces) {
            // A first byte of neither protocol is refused; the next bytes are a new request.
            client.socket->write("\x06" + req.mid(1));
            QTRY_COMPARE(client.received, "\x00\x5b"_ba);
            client.received.clear();
            for (; req.size() > 1; req.remove(0, 1)) {
                client.socket->write(req.first(1));
                QTRY_VERIFY(client.socket->bytesToWrite() == 0);
                QCoreApplication::processEvents();
            }
        }
        // What follows the request goes to the destination in order, never taken for a request.
        const QByteArray payload = request(port, "not a request") + pattern(70000);
        client.socket->write(req + payload.left(10));
        client.socket->write(payload.mid(10));
        // SOCKS4 names the destination connected; SOCKS5 the proxy's end of that connection.
        QTRY_VERIFY(client.received.size() >= reply.size() + (socks4 ? 0 : 2));
        if (socks4)
            reply.replace(2, 2, port16(port));
        QCOMPARE(client.received.left(reply.size()), reply);
        QCOMPARE(proxy.log,
            QStringList({ u"Proxy [0] Connection Request from 127.0.0.1"_s,
                u"Proxy [0] Request %1:%2"_s.arg(line).arg(port), u"Outbound [0] Connected"_s }));
        QTRY_VERIFY(
            !destination.peers.empty() && destination.peer().received.size() == payload.size());
        QVERIFY(destination.peer().received == payload);
    }

    void slotClosesWithReplyAndLine_data()
    {
        // Port 0 in a request stands for a port that refuses connections.
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QString>("line");
        const auto row = [](const char *name, const QByteArray &bytes, const QByteArray &reply,
                             const char *line) {
            QTest::newRow(name) << bytes << reply << QString::fromLatin1(line);
        };
        const QByteArray v4 = QByteArray::fromHex("7f000001"), ok5 = QByteArray::fromHex("0500");
        const QByteArray fail5 = QByteArray::fromHex("0001000000000000");
        const auto reply5 = [&](char code) { return ok5 + '\5' + code + fail5; };
        row("socks4, refused", request(0), grantFor(0, 0x5b),
            "Outbound [0] Error: Connection refused");
        row("socks4, user id without end", request(0, QByteArray(2000, 'u')).left(1500), {},
            "Proxy [0] Error: SOCKS4 user id too long");
        row("socks4a, 256-byte name", nameRequest(0, QByteArray(256, 'h')), grantFor(0, 0x5b, true),
            "Proxy [0] Error: Invalid host name");
        row("socks5, refused", socks5(0, v4, 1), reply5(5),
            "Outbound [0] Error: Connection refused");
        row("socks5, no method 00", QByteArray::fromHex("05020102"), QByteArray::fromHex("05ff"),
            "Proxy [0] Error: No acceptable authentication method");
        row("socks5, BIND", socks5(0, v4, 1).replace(4, 1, "\2"), reply5(7),
            "Proxy [0] Error: Command not supported");
        row("socks5, ATYP 2", socks5(0, v4, 2), reply5(8),
            "Proxy [0] Error: Address type not supported");
        row("socks5, empty name", socks5(0, ""), reply5(1), "Proxy [0] Error: Invalid host name");
        row("no whole request in time", "\x05\x01", {}, "Proxy [0] Error: Request timed out");
    }
    void slotClosesWithReplyAndLine()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QByteArray, reply);
        QFETCH(QString, line);
        QTcpSocket refusing; // bound, not listening: refuses, and nobody else can take its port
        QVERIFY(refusing.bind(QHostAddress::LocalHost, 0));
        const QByteArray port = port16(refusing.localPort());
        if (bytes.size() >= 8 && bytes.startsWith('\4'))
            bytes.replace(2, 2, port), reply = reply.isEmpty() ? reply : reply.replace(2, 2, port);
        else if (line.endsWith(u"refused"_s))
            bytes.replace(bytes.size() - 2, 2, port);
        Proxy proxy;
        if (line.endsWith(u"timed out"_s))
            proxy.relay.setTimeouts({ 50ms, 30s, 10ms });
        Client client;
        QVERIFY(client.connectTo(proxy.port));
        client.socket->write(bytes);
        QTRY_VERIFY(client.closed);
        QCOMPARE(client.received, reply);
        QCOMPARE(proxy.log.last(), line);
        QCOMPARE(proxy.relay.busySlots(), 0);
        // Counted as refused by the handshake, or as failed to reach; one ending either way.
        const relay::Snapshot after = proxy.relay.snapshot();
        const bool outbound = line.startsWith(u"Outbound"_s);
        QCOMPARE(after.totals.failed, quint64(outbound));
        QCOMPARE(after.totals.refused, quint64(!outbound && !line.endsWith(u"timed out"_s)));
        QCOMPARE(after.recent.size(), size_t(1));
    }

    void clientsBeyondTheSlotsWaitInLine()
    {
        Proxy proxy;
        proxy.allowed.append(u"127.0.0.1"_s); // listed twice: still one slot each
        Destination destination;
        std::vector<std::unique_ptr<Client>> clients(Relay::SlotCount + Relay::MaxWaiting + 1);
        for (auto &client : clients)
            QVERIFY((client = std::make_unique<Client>())->connectTo(proxy.port));
        // Sixteen are served, 64 wait unlogged, one more is closed at once.
        QTRY_VERIFY(clients.back()->closed);
        QCOMPARE(proxy.relay.waitingCount(), Relay::MaxWaiting);
        QCOMPARE(proxy.log.size(), Relay::SlotCount);
        // The snapshot shows the slots, then the line in order, each under an id of its own.
        const relay::Snapshot now = proxy.relay.snapshot();
        QCOMPARE(now.connections.size(), size_t(Relay::SlotCount + Relay::MaxWaiting));
        quint64 last = 0;
        for (size_t i = 0; i < now.connections.size(); ++i) {
            const relay::ConnectionInfo &c = now.connections.at(i);
            const bool waiting = i >= Relay::SlotCount;
            QVERIFY(c.slot == (waiting ? -1 : int(i)) && c.id > std::exchange(last, c.id));
            QCOMPARE(c.state,
                waiting ? relay::ConnectionState::Waiting : relay::ConnectionState::Negotiating);
        }
        // The last in line is sent away by the operator, unlogged: it never had a slot.
        proxy.relay.Disconnect(now.connections.back().id);
        QTRY_VERIFY(clients.at(clients.size() - 2)->closed);
        QCOMPARE(proxy.relay.waitingCount(), Relay::MaxWaiting - 1);
        QCOMPARE(proxy.log.size(), Relay::SlotCount);
        // A waiter that sent its request and reset is never served or logged.
        Client &leaver = *clients.at(16), &first = *clients.at(17), &second = *clients.at(18);
        leaver.socket->write(request(destination.port(), "leaver"));
        QTRY_COMPARE(leaver.socket->bytesToWrite(), 0);
        leaver.reset();
        QTRY_COMPARE(proxy.relay.waitingCount(), Relay::MaxWaiting - 2);
        first.socket->write(request(destination.port(), "first"));
        second.socket->write(request(destination.port(), "second") + "2nd");
        // Freed slots go to the waiters in the order they came.
        clients.at(5)->socket->disconnectFromHost();
        QTRY_COMPARE(first.received, grantFor(destination.port()));
        clients.at(2)->reset();
        QTRY_COMPARE(second.received, grantFor(destination.port()));
        const QString to = u" to 127.0.0.1:%1"_s.arg(destination.port());
        QCOMPARE(proxy.log.mid(Relay::SlotCount, 3),
            QStringList({ u"Proxy [5] Connection Closed"_s,
                u"Proxy [5] Connection Request from 127.0.0.1"_s,
                u"Proxy [5] Request from first"_s + to }));
        QVERIFY(proxy.log.contains(u"Proxy [2] Request from second"_s + to));
        QTRY_COMPARE(destination.peers.size(), size_t(2));
        QTRY_COMPARE(destination.peers.at(1)->received, "2nd"_ba);
    }

    void unlistedClientIsClosedUnlogged() // IPv6 clients: served in tst_udpproxy
    {
        Proxy proxy;
        Destination destination;
        Client client;
        QVERIFY(client.connectTo(proxy.port, QHostAddress(u"127.0.0.2"_s)));
        client.socket->write(request(destination.port()));
        QTRY_VERIFY(client.closed);
        QVERIFY(proxy.log.isEmpty() && destination.peers.empty());
    }

    void vanishedSideIsCutOffNotDrained_data()
    {
        QTest::addColumn<bool>("whileHeldBack"); // the vanishing side was not being read
        QTest::newRow("client resets during a download") << false;
        QTest::newRow("destination resets while held back") << true;
    }
    void vanishedSideIsCutOffNotDrained()
    {
        QFETCH(bool, whileHeldBack);
        Proxy proxy;
        Destination destination;
        Client client;
        QVERIFY(relayed(proxy, destination, client));
        Client &sender = destination.peer();
        QByteArray sent;
        const auto feed = [&] {
            if (sender.socket->bytesToWrite() < (1 << 20) && sent.size() < (2000 << 20))
                sent += sender.socket->write(pattern(1 << 20)) > 0 ? pattern(1 << 20) : ""_ba;
        };
        if (whileHeldBack) {
            // The client reads nothing, so the destination is not read either; then it resets.
            client.pause();
            QVERIFY(
                QTest::qWaitFor([&] { return feed(), proxy.relay.wsProxy(0).isFull(); }, WaitMs));
            sender.reset();
            QTRY_COMPARE(proxy.relay.busySlots(), 0);
            QCOMPARE(proxy.log.last(), u"Outbound [0] Connection Closed"_s);
            // What was already on its way to the client still reaches it, then its end.
            client.resume();
            QTRY_VERIFY(client.closed);
            QVERIFY(client.received == sent.left(client.received.size()));
            return;
        }
        QVERIFY(
            QTest::qWaitFor([&] { return feed(), client.received.size() > (8 << 20); }, WaitMs));
        client.reset();
        // The destination learns it within the bound; it could send no more than the kernel's
        // buffers took, not a second's worth of the full pace.
        const qint64 before = sent.size() - sender.socket->bytesToWrite();
        QVERIFY(QTest::qWaitFor(
            [&] { return feed(), sender.socket->state() != QTcpSocket::ConnectedState; }, WaitMs));
        QVERIFY2(
            sent.size() - before < (64 << 20), qPrintable(QString::number(sent.size() - before)));
        QCOMPARE(proxy.log.last(), u"Proxy [0] Connection Closed"_s);
    }

    void idleConnectionMakesRoomForAWaitingClient()
    {
        Proxy proxy;
        proxy.relay.setTimeouts({ 30s, 30s, 10ms, 50ms });
        Destination destination;
        std::vector<std::unique_ptr<Client>> clients(Relay::SlotCount + 1);
        // Slot 0's client stops reading a download: quiet, but with bytes still queued for it.
        Client &reader = *(clients.front() = std::make_unique<Client>());
        QVERIFY(relayed(proxy, destination, reader));
        reader.pause();
        const QByteArray download = pattern(8 << 20, 3);
        destination.peer().socket->write(download);
        QTRY_VERIFY(proxy.relay.wsProxy(0).bytesToSend() > 0);
        // The others are granted and then carry nothing, as a browser's kept-alive connections
        // do: one of them (only one) is closed so that the seventeenth gets its slot.
        for (auto &client : clients) {
            if (client)
                continue;
            QVERIFY((client = std::make_unique<Client>())->connectTo(proxy.port));
            client->socket->write(request(destination.port()));
        }
        QTRY_COMPARE(clients.back()->received, grantFor(destination.port()));
        QTRY_COMPARE(
            std::count_if(clients.begin(), clients.end(), [](auto &c) { return c->closed; }), 1);
        const QString evicted = proxy.log.filter(u"Idle connection closed"_s).value(0);
        QVERIFY(!evicted.isEmpty() && !evicted.startsWith(u"Proxy [0]"_s));
        reader.resume();
        QTRY_COMPARE_WITH_TIMEOUT(reader.received.size(), download.size(), WaitMs);
        QVERIFY(reader.received == download);
    }

    void namesFromTheResolver_data()
    {
        QTest::addColumn<QByteArray>("req"); // to port %p of a name the table gives
        QTest::addColumn<QList<QHostAddress>>("addresses"); // none: no such name
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<QString>("line");
        const QHostAddress v4 = QHostAddress::LocalHost, v6 = QHostAddress::LocalHostIPv6;
        const QByteArray granted5 = QByteArray::fromHex("0500050000017f000001");
        QTest::newRow("socks5: first address dead, the next answers") << socks5(
            0, "two.example") << QList { v6, v4 } << granted5 << u"Outbound [0] Connected"_s;
        QTest::newRow("socks4a: no IPv4 address")
            << nameRequest(0, "v6only.example") << QList { v6 } << grantFor(0, 0x5b, true)
            << u"Outbound [0] Error: Host not found"_s;
        QTest::newRow("socks5: no such name")
            << socks5(0, "no-such.example") << QList<QHostAddress> {}
            << QByteArray::fromHex("050005040001000000000000")
            << u"Outbound [0] Error: Host not found"_s;
        // Never answered: the connect limit covers the lookup, which is then given up.
        QTest::newRow("socks4a: no answer in time")
            << nameRequest(0, "slow.example") << QList<QHostAddress> {} << grantFor(0, 0x5b, true)
            << u"Outbound [0] Error: Connection timed out"_s;
    }
    void namesFromTheResolver()
    {
        QFETCH(QByteArray, req);
        QFETCH(QList<QHostAddress>, addresses);
        QFETCH(QByteArray, answer);
        QFETCH(QString, line);
        Proxy proxy;
        Destination destination; // on 127.0.0.1 only: ::1 refuses
        const bool socks4 = req.startsWith('\4');
        const QString name =
            QString::fromLatin1(socks4 ? req.sliced(12).chopped(1) : req.sliced(8).chopped(2));
        proxy.names.add(name, addresses);
        const bool slow = name == u"slow.example"_s;
        if (slow) {
            proxy.names.table[name] = std::nullopt;
            proxy.relay.setTimeouts({ 30s, 0ms, 10ms });
        }
        req.replace(socks4 ? 2 : req.size() - 2, 2, port16(destination.port()));
        if (answer.startsWith('\0'))
            answer.replace(2, 2, port16(destination.port()));
        Client client;
        QVERIFY(client.connectTo(proxy.port));
        client.socket->write(req);
        QTRY_VERIFY(client.received.size() >= answer.size());
        QCOMPARE(client.received.left(answer.size()), answer);
        QTRY_COMPARE(proxy.log.last(), line);
        QCOMPARE(proxy.names.aborted, int(slow));
    }

    void slowPipedReaderGetsEveryByte()
    {
        // The client ends its sending with its request and reads slowly; the destination sends
        // megabytes and closes at once. Its bytes linger far longer than the (shortened) limit,
        // which only a peer that takes nothing may reach.
        Proxy proxy;
        proxy.relay.setTimeouts({ 30s, 30s, 1s, 5s, 1s });
        const QByteArray download = pattern(4 << 20, 5);
        ThreadServer destination([&download](int fd) { writeAll(fd, download); });
        const int fd = connectTo(proxy.port);
        QVERIFY(fd >= 0);
        const auto closing = qScopeGuard([fd] { ::close(fd); });
        QVERIFY(writeAll(fd, request(destination.port)));
        ::shutdown(fd, SHUT_WR);
        QByteArray got;
        bool ended = false;
        QTimer reader; // about 1.5 MB/s: the whole takes some three times the limit
        reader.callOnTimeout([&] {
            char buffer[32 * 1024];
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n > 0)
                got.append(buffer, n);
            ended = n == 0 || (n < 0 && errno != EAGAIN);
        });
        reader.start(20);
        QTRY_VERIFY_WITH_TIMEOUT(ended, WaitMs);
        QCOMPARE(got.size(), download.size() + 8);
        QVERIFY(got.mid(8) == download);
    }

    void hostileEndingsExhaustNoDescriptors()
    {
        // Clients that send much to a destination that never reads, then reset: each leaves a
        // closed connection that owes its destination a pipe's worth. Under a soft limit of 256
        // open files these must neither lock the listener out nor flood the log.
        rlimit was {};
        QVERIFY(::getrlimit(RLIMIT_NOFILE, &was) == 0);
        const auto restore = qScopeGuard([&was] { ::setrlimit(RLIMIT_NOFILE, &was); });
        rlimit low { std::min<rlim_t>(256, was.rlim_max), was.rlim_max };
        QVERIFY(::setrlimit(RLIMIT_NOFILE, &low) == 0);
        const int sink = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0); // never accepts
        const auto closing = qScopeGuard([sink] { ::close(sink); });
        sockaddr_in at { AF_INET, 0, { htonl(INADDR_LOOPBACK) }, {} };
        socklen_t length = sizeof at;
        const int tiny = 4096;
        ::setsockopt(sink, SOL_SOCKET, SO_RCVBUF, &tiny, sizeof tiny);
        QVERIFY(::bind(sink, reinterpret_cast<sockaddr *>(&at), length) == 0);
        QVERIFY(::listen(sink, 1024) == 0);
        QVERIFY(::getsockname(sink, reinterpret_cast<sockaddr *>(&at), &length) == 0);
        Proxy proxy;
        const QByteArray flood = pattern(6 << 20);
        for (int k = 0; k < 120; ++k) {
            const int fd = connectTo(proxy.port);
            QVERIFY(fd >= 0);
            QVERIFY(writeAll(fd, request(ntohs(at.sin_port))));
            QByteArray grant;
            QTRY_VERIFY([&] {
                char b[8];
                const ssize_t n = ::recv(fd, b, size_t(8 - grant.size()), MSG_DONTWAIT);
                grant.append(b, std::max<ssize_t>(n, 0));
                return grant.size() == 8;
            }());
            QCOMPARE(grant, grantFor(ntohs(at.sin_port)));
            // Everything taken by the proxy: most of it waits in the pipe towards the sink.
            qsizetype sent = 0;
            QTRY_VERIFY([&] {
                const ssize_t n = ::send(fd, flood.constData() + sent, size_t(flood.size() - sent),
                    MSG_DONTWAIT | MSG_NOSIGNAL);
                sent += std::max<ssize_t>(n, 0);
                int unacknowledged = 0;
                return sent == flood.size() && ::ioctl(fd, SIOCOUTQ, &unacknowledged) == 0
                    && unacknowledged <= (1 << 20);
            }());
            const linger hard { 1, 0 };
            ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
            ::close(fd);
        }
        Destination destination;
        Client client;
        QVERIFY(client.connectTo(proxy.port));
        client.socket->write(request(destination.port()));
        QTRY_COMPARE(client.received, grantFor(destination.port()));
        QVERIFY(proxy.log.filter(u"Listener Error"_s).size() <= 1);
    }
};

QTEST_GUILESS_MAIN(tst_Relay)
#include "tst_relay.moc"
