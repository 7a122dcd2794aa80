#include "net/datagram.h"

#include <QSignalSpy>
#include <QTest>

using net::DatagramSocket;
using namespace Qt::StringLiterals;

class tst_Datagram : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void echo_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<int>("size");
        QTest::addColumn<int>("count");
        QTest::newRow("IPv4") << u"127.0.0.1"_s << 100 << 1;
        QTest::newRow("IPv4, the largest") << u"127.0.0.1"_s << 65507 << 1;
        QTest::newRow("IPv4, empty") << u"127.0.0.1"_s << 0 << 1;
        QTest::newRow("IPv4, more than a batch")
            << u"127.0.0.1"_s << 10 << DatagramSocket::ReadBatch + 10;
        QTest::newRow("IPv6") << u"::1"_s << 100 << 1;
        QTest::newRow("IPv6, the largest") << u"::1"_s << int(DatagramSocket::MaxDatagram) << 1;
    }
    void echo()
    {
        QFETCH(QString, address);
        QFETCH(int, size);
        QFETCH(int, count);
        net::Reactor reactor;
        DatagramSocket client(reactor), echo(reactor);
        if (!echo.Bind(QHostAddress(address)))
            QSKIP(qPrintable(u"cannot bind "_s + address + u": "_s + echo.ErrorString()));
        QVERIFY(client.Bind(QHostAddress(address)));
        QCOMPARE(echo.LocalHost(), QHostAddress(address));
        QVERIFY(echo.LocalPort() != 0 && client.LocalPort() != echo.LocalPort());
        connect(&echo, &DatagramSocket::DataArrival, &echo,
            [&](const QByteArray &d, const QHostAddress &from, quint16 port) {
                QVERIFY(echo.SendData(from, port, d));
            });
        QSignalSpy back(&client, &DatagramSocket::DataArrival);
        for (int i = 0; i < count; ++i) {
            QByteArray d(size, 'd');
            if (size)
                d[0] = char(i);
            QVERIFY(client.SendData(echo.LocalHost(), echo.LocalPort(), d));
        }
        QTRY_COMPARE(back.size(), count);
        for (int i = 0; i < count; ++i) {
            const QByteArray d = back[i][0].toByteArray();
            QCOMPARE(d.size(), size);
            QCOMPARE(size ? int(quint8(d[0])) : i, i);
            QCOMPARE(back[i][1].value<QHostAddress>(), echo.LocalHost());
            QCOMPARE(back[i][2].toInt(), echo.LocalPort());
        }
    }

    void familiesAndSizesRefused()
    {
        net::Reactor reactor;
        DatagramSocket v4(reactor);
        QVERIFY(v4.Bind(QHostAddress(u"::ffff:127.0.0.1"_s))); // mapped: an IPv4 socket
        QCOMPARE(v4.family(), QAbstractSocket::IPv4Protocol);
        QCOMPARE(v4.LocalHost(), QHostAddress(u"127.0.0.1"_s));
        QVERIFY(!v4.SendData(QHostAddress(u"::1"_s), 9, "x"));
        QVERIFY(v4.SendData(QHostAddress(u"::ffff:127.0.0.1"_s), v4.LocalPort(), "to itself"));
        QVERIFY(!v4.SendData(QHostAddress(u"127.0.0.1"_s), v4.LocalPort(), QByteArray(65508, 'x')));
        QSignalSpy own(&v4, &DatagramSocket::DataArrival);
        QVERIFY(own.wait());
        v4.Close();
        QVERIFY(!v4.SendData(QHostAddress(u"127.0.0.1"_s), 9, "x"));
        DatagramSocket taken(reactor);
        QVERIFY(v4.Bind(QHostAddress(u"127.0.0.1"_s)));
        QVERIFY(!taken.Bind(QHostAddress(u"127.0.0.1"_s), v4.LocalPort()));
        QVERIFY(!taken.ErrorString().isEmpty());
    }
};

QTEST_GUILESS_MAIN(tst_Datagram)
#include "tst_datagram.moc"
