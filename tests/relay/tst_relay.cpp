// The relay end to end over loopback: admission, the handshake, relaying, flow control and
// teardown, with real sockets on both sides.

#include "harness.h"

using namespace harness;
using namespace Qt::StringLiterals;

class tst_Relay final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void handshakeGrantsAndLogs_data()
    {
        QTest::addColumn<QByteArray>("userId");
        QTest::addColumn<int>("command");
        QTest::addColumn<QString>("shownUser");
        QTest::newRow("bob") << "bob"_ba << 1 << u"bob"_s;
        QTest::newRow("CD 2 served as CONNECT") << "eve"_ba << 2 << u"eve"_s;
        QTest::newRow("empty user id") << QByteArray() << 1 << QString();
        QTest::newRow("line end cannot forge a log line")
            << "x\nProxy [1] Connected"_ba << 1 << u"x\\x0aProxy [1] Connected"_s;
    }
    void handshakeGrantsAndLogs()
    {
        QFETCH(QByteArray, userId);
        QFETCH(int, command);
        QFETCH(QString, shownUser);
        Proxy proxy;
        Destination destination;
        Client client;
        QVERIFY(client.connectTo(proxy.port));
        client.socket.write(request(destination.port(), userId, static_cast<quint8>(command)));
        QTRY_COMPARE(client.received, grantFor(destination.port()));
        QCOMPARE(proxy.log,
            QStringList({ u"Proxy [0] Connection Request from 127.0.0.1"_s,
                u"Proxy [0] Request from %1 to 127.0.0.1:%2"_s.arg(shownUser).arg(
                    destination.port()),
                u"Outbound [0] Connected"_s }));
        QCOMPARE(destination.peers.size(), size_t(1));
    }

    void wrongVersionIsRejectedAndTheConnectionServedAfter()
    {
        Proxy proxy;
        Destination destination;
        Client client;
        QVERIFY(client.connectTo(proxy.port));
        QByteArray socks5 = request(destination.port());
        socks5[0] = 5;
        client.socket.write(socks5);
        QTRY_COMPARE(client.received, "\x00\x5b"_ba);
        QCOMPARE(proxy.log.size(), 1); // only the connection request
        client.received.clear();
        client.socket.write(request(destination.port()));
        QTRY_COMPARE(client.received, grantFor(destination.port()));
        QVERIFY(!client.closed);
    }

    void requestInPiecesAndPayloadAfterIt()
    {
        // The request dribbles in a byte at a time; the payload that follows its NUL in the
        // same write, and what comes before the grant, reaches the destination in order and
        // is never taken for a second request (it even begins with the version byte).
        Proxy proxy;
        Destination destination;
        Client client;
        QVERIFY(client.connectTo(proxy.port));
        const QByteArray req = request(destination.port(), "pieces");
        for (qsizetype i = 0; i + 1 < req.size(); ++i) {
            client.socket.write(req.mid(i, 1));
            client.socket.flush();
            QCoreApplication::processEvents();
        }
        const QByteArray payload = request(destination.port(), "not a request") + pattern(70000);
        client.socket.write(req.right(1) + payload.left(10));
        client.socket.write(payload.mid(10));
        QTRY_COMPARE(client.received, grantFor(destination.port()));
        QTRY_COMPARE(destination.received.at(0).size(), payload.size());
        QVERIFY(destination.received.at(0) == payload);
        QCOMPARE(proxy.log.size(), 3);
    }

    void userIdWithoutEndClosesTheSlot()
    {
        Proxy proxy;
        Client client;
        QVERIFY(client.connectTo(proxy.port));
        client.socket.write(request(1080, QByteArray(2000, 'u')).left(1500));
        QTRY_VERIFY(client.closed);
        QCOMPARE(proxy.log.last(), u"Proxy [0] Error: SOCKS4 user id too long"_s);
        QCOMPARE(proxy.relay.wsProxy(0).State(), net::Endpoint::sckClosed);
    }

    void refusedDestinationGetsReply91ThenClose()
    {
        // A port bound without listening refuses connections, and nobody else can take it.
        QTcpSocket bound;
        QVERIFY(bound.bind(QHostAddress::LocalHost, 0));
        Proxy proxy;
        Client client;
        QVERIFY(client.connectTo(proxy.port));
        client.socket.write(request(bound.localPort()));
        QTRY_VERIFY(client.closed);
        QCOMPARE(client.received, grantFor(bound.localPort(), 0x5b));
        QCOMPARE(proxy.log.last(), u"Outbound [0] Error: Connection refused"_s);
        QCOMPARE(proxy.relay.wsProxy(0).State(), net::Endpoint::sckClosed);
    }

    void clientLeavesWhileDestinationConnecting()
    {
        Blackhole blackhole;
        QVERIFY(blackhole.port != 0);
        Proxy proxy;
        Client client;
        QVERIFY(client.connectTo(proxy.port));
        client.socket.write(request(blackhole.port) + "early");
        QTRY_COMPARE(proxy.log.size(), 2);
        QCOMPARE(proxy.relay.wsOutbound(0).State(), net::Endpoint::sckConnecting);
        client.socket.disconnectFromHost();
        QTRY_COMPARE(proxy.log.last(), u"Proxy [0] Connection Closed"_s);
        QCOMPARE(proxy.relay.wsOutbound(0).State(), net::Endpoint::sckClosed);
        QCOMPARE(proxy.relay.wsProxy(0).State(), net::Endpoint::sckClosed);
    }

    void allowListIsExactAndRefusalsLeaveNoTrace()
    {
        Proxy proxy;
        Client outsider;
        QVERIFY(outsider.connectTo(proxy.port, QHostAddress(u"127.0.0.2"_s)));
        QTRY_VERIFY(outsider.closed);
        proxy.allowed = QStringList { u"127.000.0.1"_s, u" 127.0.0.1"_s };
        Client notWrittenExactly;
        QVERIFY(notWrittenExactly.connectTo(proxy.port));
        QTRY_VERIFY(notWrittenExactly.closed);
        proxy.allowed.clear();
        Client anyone;
        QVERIFY(anyone.connectTo(proxy.port));
        QTRY_VERIFY(anyone.closed);
        QVERIFY(proxy.log.isEmpty());
    }

    void sixteenSlotsThenLowestFreeReused()
    {
        Proxy proxy;
        proxy.allowed << u"127.0.0.1"_s; // listed twice: still one slot each
        std::vector<std::unique_ptr<Client>> clients;
        for (int i = 0; i < relay::Relay::SlotCount; ++i) {
            clients.push_back(std::make_unique<Client>());
            QVERIFY(clients.back()->connectTo(proxy.port));
            QTRY_COMPARE(proxy.relay.wsProxy(i).State(), net::Endpoint::sckConnected);
        }
        Client seventeenth;
        QVERIFY(seventeenth.connectTo(proxy.port));
        QTRY_VERIFY(seventeenth.closed);
        QCOMPARE(proxy.log.size(), relay::Relay::SlotCount);
        QCOMPARE(proxy.log.last(), u"Proxy [15] Connection Request from 127.0.0.1"_s);

        clients.at(2)->socket.disconnectFromHost();
        QTRY_COMPARE(proxy.log.last(), u"Proxy [2] Connection Closed"_s);
        Client next;
        QVERIFY(next.connectTo(proxy.port));
        QTRY_COMPARE(proxy.log.last(), u"Proxy [2] Connection Request from 127.0.0.1"_s);
        QVERIFY(!next.closed);
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
        const QByteArray payload = pattern(8 * 1024 * 1024, destinationFirst ? 3 : 5);
        client.socket.write(request(destination.port()) + (destinationFirst ? "" : payload));
        QTRY_COMPARE(client.received, grantFor(destination.port()));
        QTRY_COMPARE(destination.peers.size(), size_t(1));
        proxy.relay.wsListener().Close(); // stopping the listener leaves open slots relaying

        QTcpSocket &closer = destinationFirst ? *destination.peers.at(0) : client.socket;
        if (destinationFirst)
            closer.write(payload);
        closer.disconnectFromHost();
        // Every byte the closing side sent reaches the other side, then the end.
        if (destinationFirst) {
            QTRY_VERIFY_WITH_TIMEOUT(client.closed, 30000);
            QVERIFY(client.received == grantFor(destination.port()) + payload);
        } else {
            QTRY_COMPARE_WITH_TIMEOUT(
                destination.peers.at(0)->state(), QAbstractSocket::UnconnectedState, 30000);
            QVERIFY(destination.received.at(0) == payload);
        }
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
        client.socket.write(request(destination.port()));
        QTRY_COMPARE(destination.peers.size(), size_t(1));
        QTRY_COMPARE(client.received.size(), 8);
        QTcpSocket &slow = slowDestination ? *destination.peers.at(0) : client.socket;
        QTcpSocket &fast = slowDestination ? client.socket : *destination.peers.at(0);
        net::Endpoint &fastSide =
            slowDestination ? proxy.relay.wsProxy(0) : proxy.relay.wsOutbound(0);
        net::Endpoint &slowSide =
            slowDestination ? proxy.relay.wsOutbound(0) : proxy.relay.wsProxy(0);
        (slowDestination ? destination.reading : client.reading) = false;
        slow.setReadBufferSize(4096);

        qint64 largestQueue = 0;
        connect(&fastSide, &net::Endpoint::DataArrival, this,
            [&] { largestQueue = std::max(largestQueue, slowSide.BytesToSend()); });
        // The fast side writes until the proxy stops reading it, however much the kernel holds.
        QByteArray sent;
        QVERIFY(QTest::qWaitFor(
            [&] {
                if (fast.bytesToWrite() < 1024 * 1024 && sent.size() < 512 * 1024 * 1024) {
                    sent += pattern(1024 * 1024 + 7, int(sent.size()));
                    fast.write(sent.right(1024 * 1024 + 7));
                }
                return fastSide.IsReadingPaused();
            },
            60000));
        QVERIFY(slowSide.BytesToSend() <= relay::Relay::PauseAbove + net::Endpoint::ReadChunk);

        (slowDestination ? destination.reading : client.reading) = true;
        slow.setReadBufferSize(0);
        QByteArray &received = slowDestination ? destination.received.at(0) : client.received;
        received += slow.readAll();
        QTRY_COMPARE_WITH_TIMEOUT(received.size(), sent.size() + (slowDestination ? 0 : 8), 60000);
        QVERIFY(received.right(sent.size()) == sent);
        // The queue toward the slow side never grew past the bound plus one chunk.
        QVERIFY2(largestQueue <= relay::Relay::PauseAbove + net::Endpoint::ReadChunk,
            QByteArray::number(largestQueue).constData());
    }
};

QTEST_GUILESS_MAIN(tst_Relay)
#include "tst_relay.moc"
