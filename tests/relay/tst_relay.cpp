#include "harness.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace harness;

namespace {

QString line(const char *text)
{
    return QString::fromLatin1(text);
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
        QTest::addColumn<QString>("shownUser");
        QTest::newRow("bob") << QByteArray("bob") << 1 << QStringLiteral("bob");
        QTest::newRow("CD 2 served as CONNECT") << QByteArray("eve") << 2 << QStringLiteral("eve");
        QTest::newRow("empty user id") << QByteArray() << 1 << QString();
        QTest::newRow("line end cannot forge a log line") << QByteArray(
            "x\nProxy [1] Connected") << 1 << QStringLiteral("x\\x0aProxy [1] Connected");
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
        const QString target = QStringLiteral("127.0.0.1:") + QString::number(destination.port());
        QCOMPARE(proxy.log,
            QStringList({ line("Proxy [0] Connection Request from 127.0.0.1"),
                QStringLiteral("Proxy [0] Request from ") + shownUser + QStringLiteral(" to ")
                    + target,
                line("Outbound [0] Connected") }));
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
        QTRY_COMPARE(client.received, QByteArray::fromHex("005b"));
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

    void earlyBytesAreHeldBoundedUntilTheGrant()
    {
        // A destination whose accept queue is full drops the proxy's SYN, so its connection
        // stays under way (the kernel retries after a second) while the client keeps sending.
        const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        QVERIFY(listener >= 0);
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        QVERIFY(::bind(listener, reinterpret_cast<sockaddr *>(&address), length) == 0);
        QVERIFY(::listen(listener, 0) == 0);
        QVERIFY(::getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length) == 0);
        const quint16 port = ntohs(address.sin_port);
        QTcpSocket filler;
        filler.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(filler.waitForConnected(5000));

        Proxy proxy;
        Client client;
        QVERIFY(client.connectTo(proxy.port));
        const QByteArray early = pattern(1024 * 1024, 21);
        client.socket.write(request(port) + early);
        QTRY_VERIFY(proxy.relay.wsProxy(0).IsReadingPaused());
        QCOMPARE(proxy.relay.wsOutbound(0).State(), net::Endpoint::sckConnecting);
        QVERIFY(proxy.relay.wsProxy(0).BytesAvailable() <= net::Endpoint::ReadChunk);

        // Make room: the retried SYN gets through and the held bytes follow the grant.
        ::close(::accept(listener, nullptr, nullptr));
        QTRY_VERIFY_WITH_TIMEOUT(
            proxy.log.contains(QStringLiteral("Outbound [0] Connected")), 10000);
        const int accepted = ::accept(listener, nullptr, nullptr);
        QVERIFY(accepted >= 0);
        QTcpSocket destination;
        QVERIFY(destination.setSocketDescriptor(accepted));
        QByteArray received;
        connect(
            &destination, &QTcpSocket::readyRead, this, [&] { received += destination.readAll(); });
        QTRY_COMPARE_WITH_TIMEOUT(received.size(), early.size(), 20000);
        QVERIFY(received == early);
        QCOMPARE(client.received, grantFor(port));
        ::close(listener);
    }

    void userIdWithoutEndClosesTheSlot()
    {
        Proxy proxy;
        Client client;
        QVERIFY(client.connectTo(proxy.port));
        client.socket.write(request(1080, QByteArray(2000, 'u')).left(1500));
        QTRY_VERIFY(client.closed);
        QCOMPARE(proxy.log.last(), line("Proxy [0] Error: SOCKS4 user id too long"));
        QCOMPARE(proxy.relay.wsProxy(0).State(), net::Endpoint::sckClosed);
    }

    void refusedDestinationGetsReply91ThenClose()
    {
        QTcpServer gone;
        QVERIFY(gone.listen(QHostAddress::LocalHost, 0));
        const quint16 port = gone.serverPort();
        gone.close();
        Proxy proxy;
        Client client;
        QVERIFY(client.connectTo(proxy.port));
        client.socket.write(request(port));
        QTRY_VERIFY(client.closed);
        QByteArray expected = grantFor(port);
        expected[1] = 0x5b;
        QCOMPARE(client.received, expected);
        QCOMPARE(proxy.log.last(), line("Outbound [0] Error: Connection refused"));
        QCOMPARE(proxy.relay.wsProxy(0).State(), net::Endpoint::sckClosed);
    }

    void allowListIsExactAndRefusalsLeaveNoTrace()
    {
        Proxy proxy;
        Client outsider;
        QVERIFY(outsider.connectTo(proxy.port, QHostAddress(QStringLiteral("127.0.0.2"))));
        QTRY_VERIFY(outsider.closed);
        proxy.allowed = QStringList { QStringLiteral("127.000.0.1"), QStringLiteral(" 127.0.0.1") };
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
        proxy.allowed << QStringLiteral("127.0.0.1"); // listed twice: still one slot each
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
        QCOMPARE(proxy.log.last(), line("Proxy [15] Connection Request from 127.0.0.1"));

        clients.at(2)->socket.disconnectFromHost();
        QTRY_COMPARE(proxy.log.last(), line("Proxy [2] Connection Closed"));
        Client next;
        QVERIFY(next.connectTo(proxy.port));
        QTRY_COMPARE(proxy.log.last(), line("Proxy [2] Connection Request from 127.0.0.1"));
        QVERIFY(!next.closed);
    }

    void bytesBothWaysUnchanged()
    {
        Proxy proxy;
        Destination destination;
        destination.echo = true;
        Client client;
        QVERIFY(client.connectTo(proxy.port));
        const QByteArray payload = pattern(24 * 1024 * 1024, 7);
        client.socket.write(request(destination.port()) + payload.left(1));
        // Odd-sized writes so that nothing lines up with buffer sizes.
        for (qsizetype at = 1; at < payload.size(); at += 99991)
            client.socket.write(payload.mid(at, 99991));
        const QByteArray expected = grantFor(destination.port()) + payload;
        QTRY_COMPARE_WITH_TIMEOUT(client.received.size(), expected.size(), 60000);
        QVERIFY(client.received == expected);
        QVERIFY(destination.received.at(0) == payload);
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
            line(destinationFirst ? "Outbound [0] Connection Closed"
                                  : "Proxy [0] Connection Closed"));
        // The slot is free at once for the next client.
        QCOMPARE(proxy.relay.wsProxy(0).State(), net::Endpoint::sckClosed);
        QCOMPARE(proxy.relay.wsOutbound(0).State(), net::Endpoint::sckClosed);
    }

    void slowReaderHoldsTheDestinationBack()
    {
        Proxy proxy;
        Destination destination;
        Client client;
        QVERIFY(client.connectTo(proxy.port));
        client.socket.write(request(destination.port()));
        QTRY_COMPARE(destination.peers.size(), size_t(1));
        QTRY_COMPARE(client.received.size(), 8);
        client.reading = false;
        client.socket.setReadBufferSize(4096);

        qint64 largestQueue = 0;
        connect(&proxy.relay.wsOutbound(0), &net::Endpoint::DataArrival, this,
            [&] { largestQueue = std::max(largestQueue, proxy.relay.wsProxy(0).BytesToSend()); });
        const QByteArray payload = pattern(48 * 1024 * 1024, 9);
        destination.peers.at(0)->write(payload);
        QTRY_VERIFY_WITH_TIMEOUT(proxy.relay.wsOutbound(0).IsReadingPaused(), 20000);
        QVERIFY(proxy.relay.wsProxy(0).BytesToSend()
            <= relay::Relay::PauseAbove + net::Endpoint::ReadChunk);
        QVERIFY(destination.peers.at(0)->bytesToWrite() > 0); // held back by TCP, not by us

        client.reading = true;
        client.socket.setReadBufferSize(0);
        client.received += client.socket.readAll();
        QTRY_COMPARE_WITH_TIMEOUT(client.received.size(), 8 + payload.size(), 60000);
        QVERIFY(client.received.mid(8) == payload);
        // The queue toward the slow client never grew past the bound plus one chunk.
        QVERIFY2(largestQueue <= relay::Relay::PauseAbove + net::Endpoint::ReadChunk,
            QByteArray::number(largestQueue).constData());
    }
};

QTEST_GUILESS_MAIN(tst_Relay)
#include "tst_relay.moc"
