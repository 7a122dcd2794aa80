#include "relay/udprelay.h"
#include "relay/udpheader.h"

#include <QSignalSpy>
#include <QTest>

using namespace Qt::StringLiterals;
using net::DatagramSocket;
namespace udp = relay::socks5udp;

class tst_UdpRelay : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // An echo through an association; the echo answers from a second socket, whose address and
    // port the client must be told.
    void echo_data()
    {
        QTest::addColumn<QString>("client");
        QTest::addColumn<QString>("destination"); // an address, or "echo.test" (resolved here)
        QTest::addColumn<int>("size");
        QTest::newRow("IPv4") << u"127.0.0.1"_s << u"127.0.0.1"_s << 100;
        QTest::newRow("IPv4, the largest a client can wrap")
            << u"127.0.0.1"_s << u"127.0.0.1"_s << int(udp::MaxIPv4Payload - 10);
        QTest::newRow("IPv6 to IPv4, 65,507 bytes")
            << u"::1"_s << u"127.0.0.1"_s << int(udp::MaxIPv4Payload);
        QTest::newRow("IPv4 to IPv6") << u"127.0.0.1"_s << u"::1"_s << 100;
        QTest::newRow("by name") << u"127.0.0.1"_s << u"echo.test"_s << 100;
    }
    void echo()
    {
        QFETCH(QString, client);
        QFETCH(QString, destination);
        QFETCH(int, size);
        net::Reactor reactor;
        const QHostAddress ip(destination == u"echo.test"_s ? u"127.0.0.1"_s : destination);
        DatagramSocket app(reactor), echo(reactor), answerer(reactor);
        if (!app.Bind(QHostAddress(client)) || !echo.Bind(ip) || !answerer.Bind(ip))
            QSKIP("no IPv6 loopback");
        int lookups = 0;
        relay::UdpRelay r(reactor,
            { [&](const QByteArray &name, auto answer) {
                 ++lookups;
                 answer(name == "echo.test" ? QList { ip } : QList<QHostAddress> {});
             },
                [](const QHostAddress &, quint16 port) { return port != 9; } });
        QVERIFY(r.Start(QHostAddress(client), { QHostAddress::AnyIPv4, {}, app.LocalPort() },
            QHostAddress(client)));
        QCOMPARE(r.LocalHost(), QHostAddress(client));
        connect(&echo, &DatagramSocket::DataArrival, &answerer,
            [&](const QByteArray &d, const QHostAddress &from, quint16 port) {
                answerer.SendData(from, port, d);
            });
        QSignalSpy back(&app, &DatagramSocket::DataArrival);
        const QByteArray payload(size, 'p');
        const QByteArray header = destination == u"echo.test"_s ? QByteArray::fromHex("00000003 09")
                + "echo.test" + char(echo.LocalPort() >> 8) + char(echo.LocalPort())
                                                                : udp::header(ip, echo.LocalPort());
        for (int i = 0; i < 2; ++i)
            QVERIFY(app.SendData(r.LocalHost(), r.LocalPort(), header + payload));
        QVERIFY(app.SendData(r.LocalHost(), r.LocalPort(), udp::header(ip, 9) + "refused"));
        QTRY_COMPARE(back.size(), 2);
        QCOMPARE(back[1][0].toByteArray(), udp::wrap(ip, answerer.LocalPort(), payload));
        QCOMPARE(lookups, destination == u"echo.test"_s);
        const relay::UdpAssociation::Counters c = r.counters();
        QCOMPARE(QList<qint64>({ c.datagramsUp, c.bytesUp, c.datagramsDown, c.bytesDown }),
            QList<qint64>({ 2, 2 * size, 2, 2 * size }));
    }
};

QTEST_GUILESS_MAIN(tst_UdpRelay)
#include "tst_udprelay.moc"
