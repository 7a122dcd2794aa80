// The relay end to end over loopback, with real sockets on both sides: the handshake by address
// and by name, the ways a slot closes, waiting for a slot, relaying, flow control, teardown.
// The name tests (names not in /etc/hosts) run only in the private namespaces of CMakeLists.txt.

#include "harness.h"

#include <QNetworkDatagram>
#include <QNetworkInterface>
#include <QUdpSocket>
#include <QtEndian>

using namespace harness;
using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using relay::Relay;

namespace {

bool isolated()
{
    const auto all = QNetworkInterface::allInterfaces();
    return all.size() == 1 && all.at(0).flags().testFlag(QNetworkInterface::IsLoopBack);
}

/// Every slot taken by a client that sends nothing.
bool fillSlots(Proxy &proxy, std::vector<std::unique_ptr<Client>> &clients)
{
    for (int i = 0; i < Relay::SlotCount; ++i) {
        if (!clients.emplace_back(std::make_unique<Client>())->connectTo(proxy.port))
            return false;
    }
    return QTest::qWaitFor([&] { return proxy.log.size() == Relay::SlotCount; });
}

} // namespace

class tst_Relay final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void handshakeGrantsAndLogs_data()
    {
        QTest::addColumn<QByteArray>("userId");
        QTest::addColumn<int>("command");
        QTest::addColumn<QByteArray>("host"); // empty: a request by address
        QTest::addColumn<QString>("shown");
        QTest::newRow("bob") << "bob"_ba << 1 << ""_ba << u"bob to 127.0.0.1"_s;
        QTest::newRow("CD 2 served as CONNECT") << "eve"_ba << 2 << ""_ba << u"eve to 127.0.0.1"_s;
        QTest::newRow("empty user id") << ""_ba << 1 << ""_ba << u" to 127.0.0.1"_s;
        QTest::newRow("line end cannot forge a line")
            << "x\nProxy [1] Connected"_ba << 1 << ""_ba
            << u"x\\x0aProxy [1] Connected to 127.0.0.1"_s;
        QTest::newRow("by name") << "bob"_ba << 1 << "localhost"_ba << u"bob to localhost"_s;
        QTest::newRow("dotted name") << "bob"_ba << 1 << "127.0.0.1"_ba << u"bob to 127.0.0.1"_s;
    }
    void handshakeGrantsAndLogs()
    {
        QFETCH(QByteArray, userId);
        QFETCH(int, command);
        QFETCH(QByteArray, host);
        QFETCH(QString, shown);
        Proxy proxy;
        Destination destination;
        Client client;
        QVERIFY(client.connectTo(proxy.port));
        const quint16 port = destination.port();
        client.socket->write(host.isEmpty() ? request(port, userId, quint8(command))
                                            : nameRequest(port, host, userId));
        // The grant carries the address and port actually connected, also for a name.
        QTRY_COMPARE(client.received, grantFor(port));
        QCOMPARE(proxy.log,
            QStringList({ u"Proxy [0] Connection Request from 127.0.0.1"_s,
                u"Proxy [0] Request from %1:%2"_s.arg(shown).arg(port),
                u"Outbound [0] Connected"_s }));
    }

    void requestInPiecesAndPayloadAfterIt()
    {
        // A refused SOCKS5 request leaves the connection open; a request by name then comes a
        // byte at a time; the payload after its NUL, and what comes before the grant, reaches
        // the destination in order and is never taken for a request (it even looks like one).
        Proxy proxy;
        Destination destination;
        Client client;
        QVERIFY(client.connectTo(proxy.port));
        client.socket->write("\x05" + request(destination.port()).mid(1));
        QTRY_COMPARE(client.received, "\x00\x5b"_ba);
        client.received.clear();
        const QByteArray req = nameRequest(destination.port(), "localhost", "pieces");
        for (qsizetype i = 0; i + 1 < req.size(); ++i) {
            client.socket->write(req.mid(i, 1));
            client.socket->flush();
            QCoreApplication::processEvents();
        }
        const QByteArray payload = request(destination.port(), "not a request") + pattern(70000);
        client.socket->write(req.right(1) + payload.left(10));
        client.socket->write(payload.mid(10));
        QTRY_COMPARE(client.received, grantFor(destination.port()));
        QTRY_COMPARE(destination.peers.at(0)->received.size(), payload.size());
        QVERIFY(destination.peers.at(0)->received == payload);
        QCOMPARE(proxy.log.size(), 3);
    }

    void slotClosesWithReplyAndLine_data()
    {
        // Port bytes 0 stand for a port that refuses connections, in the request and the reply.
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QString>("line");
        QTest::addColumn<int>("requestTimeoutMs"); // 0: the usual
        QTest::newRow("refused destination")
            << request(0) << grantFor(0, 0x5b) << u"Outbound [0] Error: Connection refused"_s << 0;
        QTest::newRow("user id without end")
            << request(0, QByteArray(2000, 'u')).left(1500) << ""_ba
            << u"Proxy [0] Error: SOCKS4 user id too long"_s << 0;
        QTest::newRow("empty host name") << nameRequest(0, {}) << grantFor(0, 0x5b, true)
                                         << u"Proxy [0] Error: Invalid host name"_s << 0;
        QTest::newRow("256-byte host name")
            << nameRequest(0, QByteArray(256, 'h')) << grantFor(0, 0x5b, true)
            << u"Proxy [0] Error: Invalid host name"_s << 0;
        QTest::newRow("no whole request in time")
            << "\x04\x01"_ba
            << ""_ba << u"Proxy [0] Error: Request timed out"_s << 50;
    }
    void slotClosesWithReplyAndLine()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QByteArray, reply);
        QFETCH(QString, line);
        QFETCH(int, requestTimeoutMs);
        QTcpSocket refusing; // bound, not listening: refuses, and nobody else can take its port
        QVERIFY(refusing.bind(QHostAddress::LocalHost, 0));
        for (QByteArray *b : { &bytes, &reply }) {
            if (b->size() >= 8)
                qToBigEndian(refusing.localPort(), b->data() + 2);
        }
        Proxy proxy;
        if (requestTimeoutMs > 0)
            proxy.relay.setTimeouts({ std::chrono::milliseconds(requestTimeoutMs), 30s, 10ms });
        Client client;
        QVERIFY(client.connectTo(proxy.port));
        client.socket->write(bytes);
        QTRY_VERIFY(client.closed);
        QCOMPARE(client.received, reply);
        QCOMPARE(proxy.log.last(), line);
        QCOMPARE(proxy.relay.wsProxy(0).State(), net::Endpoint::sckClosed);
        QCOMPARE(proxy.relay.wsOutbound(0).State(), net::Endpoint::sckClosed);
    }

    void destinationStillConnecting_data()
    {
        QTest::addColumn<bool>("clientLeaves"); // else the connect limit runs out
        QTest::newRow("client leaves") << true;
        QTest::newRow("destination never answers") << false;
    }
    void destinationStillConnecting()
    {
        QFETCH(bool, clientLeaves);
        Blackhole blackhole;
        QVERIFY(blackhole.port != 0);
        Proxy proxy;
        Client client;
        QVERIFY(client.connectTo(proxy.port));
        // Bytes sent before the grant are held within a bound; past it TCP holds the client.
        client.socket->write(request(blackhole.port) + pattern(clientLeaves ? 5 : 1 << 20));
        QTRY_COMPARE(proxy.log.size(), 2);
        QCOMPARE(proxy.relay.wsOutbound(0).State(), net::Endpoint::sckConnecting);
        if (clientLeaves) {
            client.socket->disconnectFromHost();
            QTRY_COMPARE(proxy.log.last(), u"Proxy [0] Connection Closed"_s);
        } else {
            QTRY_VERIFY(proxy.relay.wsProxy(0).IsReadingPaused());
            QVERIFY(proxy.relay.wsProxy(0).BytesAvailable() <= net::Endpoint::ReadChunk);
            proxy.relay.setTimeouts({ 30s, 0ms, 10ms });
            QTRY_VERIFY(client.closed);
            QCOMPARE(client.received, grantFor(blackhole.port, 0x5b));
            QCOMPARE(proxy.log.last(), u"Outbound [0] Error: Connection timed out"_s);
        }
        QCOMPARE(proxy.relay.wsOutbound(0).State(), net::Endpoint::sckClosed);
        QCOMPARE(proxy.relay.wsProxy(0).State(), net::Endpoint::sckClosed);
    }

    void allowListIsExactAndRefusalsLeaveNoTrace()
    {
        Proxy proxy;
        Client outsider, notWrittenExactly, anyone;
        QVERIFY(outsider.connectTo(proxy.port, QHostAddress(u"127.0.0.2"_s)));
        QTRY_VERIFY(outsider.closed);
        proxy.allowed = QStringList { u"127.000.0.1"_s, u" 127.0.0.1"_s };
        QVERIFY(notWrittenExactly.connectTo(proxy.port));
        QTRY_VERIFY(notWrittenExactly.closed);
        proxy.allowed.clear();
        QVERIFY(anyone.connectTo(proxy.port));
        QTRY_VERIFY(anyone.closed);
        QVERIFY(proxy.log.isEmpty());
    }

    void waitersGetFreedSlotsInOrderWithWhatTheySent()
    {
        Proxy proxy;
        proxy.allowed << u"127.0.0.1"_s; // listed twice: still one slot each
        Destination destination;
        std::vector<std::unique_ptr<Client>> clients;
        QVERIFY(fillSlots(proxy, clients));
        Client first, second, outsider;
        QVERIFY(first.connectTo(proxy.port));
        first.socket->write(request(destination.port(), "first") + "1st");
        QVERIFY(second.connectTo(proxy.port));
        second.socket->write(request(destination.port(), "second") + "2nd");
        // A client not on the list is still closed at once; nobody waiting is logged.
        QVERIFY(outsider.connectTo(proxy.port, QHostAddress(u"127.0.0.2"_s)));
        QTRY_VERIFY(outsider.closed);
        QTRY_COMPARE(proxy.relay.waitingCount(), 2);
        QCOMPARE(proxy.log.size(), Relay::SlotCount);

        clients.at(5)->socket->disconnectFromHost();
        QTRY_COMPARE(first.received, grantFor(destination.port()));
        clients.at(2)->socket->disconnectFromHost();
        QTRY_COMPARE(second.received, grantFor(destination.port()));
        QStringList expected;
        for (const auto &[i, user] : { std::pair(5, "first"), std::pair(2, "second") })
            expected << u"Proxy [%1] Connection Closed"_s.arg(i)
                     << u"Proxy [%1] Connection Request from 127.0.0.1"_s.arg(i)
                     << u"Proxy [%1] Request from %2 to 127.0.0.1:%3"_s.arg(i)
                            .arg(QLatin1StringView(user))
                            .arg(destination.port())
                     << u"Outbound [%1] Connected"_s.arg(i);
        QCOMPARE(proxy.log.mid(Relay::SlotCount), expected);
        QTRY_COMPARE(destination.peers.at(0)->received, "1st"_ba);
        QTRY_COMPARE(destination.peers.at(1)->received, "2nd"_ba);
    }

    void lineHoldsSixtyFourAndForgetsLeavers()
    {
        Proxy proxy;
        Destination destination;
        std::vector<std::unique_ptr<Client>> clients, waiters;
        QVERIFY(fillSlots(proxy, clients));
        for (int i = 0; i < Relay::MaxWaiting + 1; ++i)
            QVERIFY(waiters.emplace_back(std::make_unique<Client>())->connectTo(proxy.port));
        QTRY_VERIFY(waiters.back()->closed);
        QCOMPARE(proxy.relay.waitingCount(), Relay::MaxWaiting);
        QVERIFY(
            std::none_of(waiters.begin(), waiters.end() - 1, [](auto &w) { return w->closed; }));

        waiters.at(0)->socket->disconnectFromHost();
        QTRY_COMPARE(proxy.relay.waitingCount(), Relay::MaxWaiting - 1);
        waiters.at(1)->socket->write(request(destination.port(), "next"));
        clients.at(0)->socket->disconnectFromHost();
        QTRY_COMPARE(waiters.at(1)->received, grantFor(destination.port()));
        QCOMPARE(proxy.log.mid(Relay::SlotCount, 3),
            QStringList({ u"Proxy [0] Connection Closed"_s,
                u"Proxy [0] Connection Request from 127.0.0.1"_s,
                u"Proxy [0] Request from next to 127.0.0.1:%1"_s.arg(destination.port()) }));
    }

    void closingSideIsDeliveredThenEof_data()
    {
        QTest::addColumn<bool>("destinationFirst");
        QTest::newRow("destination closes first") << true;
        QTest::newRow("client closes first") << false;
    }
    void closingSideIsDeliveredThenEof()
    {
        QFETCH(bool, destinationFirst);
        Proxy proxy;
        Destination destination;
        Client client;
        QVERIFY(client.connectTo(proxy.port));
        client.socket->write(request(destination.port()));
        QTRY_COMPARE(destination.peers.size(), size_t(1));
        QTRY_COMPARE(client.received.size(), 8);
        client.received.clear();
        proxy.relay.wsListener().Close(); // stopping the listener leaves open slots relaying
        Peer &closer = destinationFirst ? *destination.peers.at(0) : client;
        Peer &other = destinationFirst ? client : *destination.peers.at(0);
        const QByteArray payload = pattern(8 << 20, 3);
        closer.socket->write(payload);
        closer.socket->disconnectFromHost();
        // Every byte the closing side sent reaches the other side, then the end.
        QTRY_VERIFY_WITH_TIMEOUT(other.closed, 30000);
        QVERIFY(other.received == payload);
        QCOMPARE(proxy.log.last(),
            destinationFirst ? u"Outbound [0] Connection Closed"_s
                             : u"Proxy [0] Connection Closed"_s);
        // The slot is free at once for the next client.
        QCOMPARE(proxy.relay.wsProxy(0).State(), net::Endpoint::sckClosed);
        QCOMPARE(proxy.relay.wsOutbound(0).State(), net::Endpoint::sckClosed);
    }

    void slowSideHoldsTheFastSideBack_data()
    {
        QTest::addColumn<bool>("slowDestination");
        QTest::newRow("slow client") << false;
        QTest::newRow("slow destination") << true;
    }
    void slowSideHoldsTheFastSideBack()
    {
        QFETCH(bool, slowDestination);
        Proxy proxy;
        Destination destination;
        Client client;
        QVERIFY(client.connectTo(proxy.port));
        client.socket->write(request(destination.port()));
        QTRY_COMPARE(destination.peers.size(), size_t(1));
        QTRY_COMPARE(client.received.size(), 8);
        client.received.clear();
        Peer &slow = slowDestination ? *destination.peers.at(0) : client;
        Peer &fast = slowDestination ? client : *destination.peers.at(0);
        net::Endpoint &fastSide =
            slowDestination ? proxy.relay.wsProxy(0) : proxy.relay.wsOutbound(0);
        net::Endpoint &slowSide =
            slowDestination ? proxy.relay.wsOutbound(0) : proxy.relay.wsProxy(0);
        slow.reading = false;
        slow.socket->setReadBufferSize(4096);
        qint64 largestQueue = 0;
        connect(&fastSide, &net::Endpoint::DataArrival, this,
            [&] { largestQueue = std::max(largestQueue, slowSide.BytesToSend()); });
        // The fast side writes until the proxy stops reading it, however much the kernel holds.
        QByteArray sent;
        QVERIFY(QTest::qWaitFor(
            [&] {
                if (fast.socket->bytesToWrite() < (1 << 20) && sent.size() < (512 << 20))
                    fast.socket->write(
                        sent.append(pattern(1 << 20, int(sent.size()))).right(1 << 20));
                return fastSide.IsReadingPaused();
            },
            60000));
        slow.reading = true;
        slow.socket->setReadBufferSize(0);
        slow.received += slow.socket->readAll();
        QTRY_COMPARE_WITH_TIMEOUT(slow.received.size(), sent.size(), 60000);
        QVERIFY(slow.received == sent);
        // The queue toward the slow side never grew past the bound plus one chunk.
        QVERIFY2(largestQueue <= Relay::PauseAbove + net::Endpoint::ReadChunk,
            QByteArray::number(largestQueue).constData());
    }

    void nameThatDoesNotResolveGetsReply91_data()
    {
        QTest::addColumn<QByteArray>("name");
        QTest::newRow("no such name") << "no-such-host.invalid"_ba;
        const QByteArray label(63, 'a');
        QTest::newRow("255 bytes") << label + '.' + label + '.' + label + '.' + label;
    }
    void nameThatDoesNotResolveGetsReply91()
    {
        if (!isolated())
            QSKIP("looks names up only in a private network namespace (tst_relay_names)");
        QFETCH(QByteArray, name);
        Proxy proxy;
        Client client;
        QVERIFY(client.connectTo(proxy.port));
        client.socket->write(nameRequest(80, name));
        QTRY_VERIFY(client.closed); // the lookup's failure ends it, not the connect limit
        QCOMPARE(client.received, grantFor(80, 0x5b, true));
        QCOMPARE(
            proxy.log.at(1), u"Proxy [0] Request from bob to %1:80"_s.arg(QLatin1StringView(name)));
        QVERIFY2(
            proxy.log.last().startsWith(u"Outbound [0] Error: "_s), qPrintable(proxy.log.last()));
    }

    void othersAreServedWhileANameResolves()
    {
        if (!isolated())
            QSKIP("looks names up only in a private network namespace (tst_relay_names)");
        QUdpSocket dns; // the namespace's name server: hears the lookup and keeps it waiting
        QVERIFY(dns.bind(QHostAddress::LocalHost, 53));
        Proxy proxy;
        Destination destination;
        Client named, plain;
        QVERIFY(named.connectTo(proxy.port));
        named.socket->write(nameRequest(80, "slow.example"));
        QTRY_VERIFY(dns.hasPendingDatagrams());
        QVERIFY(plain.connectTo(proxy.port));
        plain.socket->write(request(destination.port()));
        QTRY_COMPARE(plain.received, grantFor(destination.port()));
        QVERIFY(named.received.isEmpty());
        QCOMPARE(proxy.relay.wsOutbound(0).State(), net::Endpoint::sckConnecting);
        proxy.relay.setTimeouts({ 30s, 0ms, 10ms }); // the connect limit covers the lookup
        QTRY_VERIFY(named.closed);
        QCOMPARE(named.received, grantFor(80, 0x5b, true));
        QVERIFY(proxy.log.contains(u"Outbound [0] Error: Connection timed out"_s));
        while (dns.hasPendingDatagrams()) { // let the lookup end: "no such name"
            const QNetworkDatagram query = dns.receiveDatagram();
            QByteArray answer = query.data();
            if (answer.size() >= 4) {
                answer[2] = char(answer[2] | 0x80);
                answer[3] = char((answer[3] & 0xf0) | 3);
                dns.writeDatagram(query.makeReply(answer));
            }
        }
    }
};

QTEST_GUILESS_MAIN(tst_Relay)
#include "tst_relay.moc"
