// Hostile and broken peers: everyone else is served, unharmed; strangers unlogged; slots return.
#include "harness.h"

#include <sys/socket.h>

using namespace harness;

namespace {

/// A new client gets `slot` and has its bytes echoed back unchanged, while a flood of clients
/// from an address not on the list comes and goes: each closed, unanswered and unlogged.
void servedOnSlot(Proxy &proxy, int slot, qsizetype size = 4 * 1024 * 1024)
{
    Destination destination;
    destination.echo = true;
    Client client;
    const qsizetype before = proxy.log.size();
    QVERIFY(client.connectTo(proxy.port));
    const QByteArray payload = pattern(size, slot);
    client.socket->write(request(destination.port()) + payload);
    std::vector<std::unique_ptr<Client>> flood(50);
    for (auto &c : flood) {
        (c = std::make_unique<Client>())->socket->bind(QHostAddress(QStringLiteral("127.0.0.2")));
        c->socket->connectToHost(QHostAddress::LocalHost, proxy.port);
        c->socket->write(request(destination.port()));
    }
    for (const auto &c : flood)
        QTRY_VERIFY(c->closed && c->received.isEmpty());
    QTRY_COMPARE_WITH_TIMEOUT(client.received.size(), 8 + size, 60000);
    QVERIFY(client.received == grantFor(destination.port()) + payload);
    QCOMPARE(proxy.log.size(), before + 3); // connection, request, destination: none for strangers
    QCOMPARE(proxy.log.at(before),
        QStringLiteral("Proxy [%1] Connection Request from 127.0.0.1").arg(slot));
}

} // namespace

class tst_Hostile final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void brokenPeersGiveTheSlotBack_data()
    {
        QTest::addColumn<QByteArray>("bytes"); // none: a request to a destination of our own
        QTest::addColumn<int>("leave"); // the proxy closes, the client closes/resets/floods
        QTest::newRow("version 5") << QByteArray("\x05\x01\x04\x38\x7f\x00\x00\x01\x00", 9) << 1;
        QTest::newRow("truncated") << QByteArray("\x04\x01\x00", 3) << 2;
        QTest::newRow("oversized user id") << request(1080).left(8) + QByteArray(2000, 'u') << 0;
        QTest::newRow("megabyte of junk") << request(1080).left(8) + QByteArray(1 << 20, 'x') << 0;
        QTest::newRow("closes before the grant") << QByteArray() << 1;
        QTest::newRow("resets before the grant") << QByteArray() << 2;
        QTest::newRow("destination never reads") << QByteArray() << 3;
    }
    void brokenPeersGiveTheSlotBack()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(int, leave);
        // Accepts nothing; with its queue full (room for one: the filler) connections stay pending.
        QTcpServer destination;
        QTcpSocket filler;
        destination.setListenBacklogSize(leave == 3 ? 16 : 0);
        QVERIFY(destination.listen(QHostAddress::LocalHost, 0));
        destination.pauseAccepting();
        filler.connectToHost(QHostAddress::LocalHost, destination.serverPort());
        QVERIFY(filler.waitForConnected());
        Proxy proxy;
        Client client;
        QVERIFY(client.connectTo(proxy.port));
        client.socket->write(bytes.isEmpty() ? request(destination.serverPort()) : bytes);
        if (leave == 3) { // flood it until the proxy stops reading the client
            QTRY_COMPARE(client.received, grantFor(destination.serverPort()));
            const QByteArray block = pattern(1 << 20, 5);
            connect(client.socket.get(), &QTcpSocket::bytesWritten, this, [&] {
                if (client.socket->bytesToWrite() < block.size())
                    client.socket->write(block);
            });
            client.socket->write(block);
            QTRY_VERIFY_WITH_TIMEOUT(proxy.relay.wsProxy(0).IsReadingPaused(), 60000);
            QVERIFY(proxy.relay.wsOutbound(0).BytesToSend()
                <= relay::Relay::PauseAbove + net::Endpoint::ReadChunk);
            servedOnSlot(proxy, 1); // everyone else goes on
        } else if (bytes.isEmpty()) {
            QTRY_COMPARE(proxy.relay.wsOutbound(0).State(), net::Endpoint::sckConnecting);
        }
        const linger hard { 1, 0 };
        if (leave >= 2) // a reset, so that the proxy can learn of it without reading first
            ::setsockopt(
                int(client.socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        if (leave > 0)
            client.socket->abort();
        QTRY_COMPARE(proxy.relay.wsProxy(0).State(), net::Endpoint::sckClosed);
        QCOMPARE(proxy.relay.wsOutbound(0).State(), net::Endpoint::sckClosed);
        servedOnSlot(proxy, 0);
    }
};

QTEST_GUILESS_MAIN(tst_Hostile)
#include "tst_hostile.moc"
