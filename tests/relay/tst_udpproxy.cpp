// UDP associations served end to end: a SOCKS5 client asks over TCP, then sends datagrams to the
// relay address it is told, to an echo that answers from another port (Qt's own UDP sockets).

#include "harness.h"

#include "acl/guard.h"

#include <QNetworkDatagram>
#include <QUdpSocket>
#include <QtEndian>

using namespace harness;
using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}
QByteArray port16(quint16 port)
{
    return QByteArray(1, char(port >> 8)) + char(port);
}
/// ATYP and the address, as a request or a datagram header names it.
QByteArray addressBytes(const QString &host)
{
    const QHostAddress a(host);
    if (a.isNull())
        return QByteArray(1, char(3)) + char(host.size()) + host.toLatin1();
    const Q_IPV6ADDR v6 = a.toIPv6Address();
    return a.protocol() == QAbstractSocket::IPv4Protocol
        ? char(1) + port16(quint16(a.toIPv4Address() >> 16)) + port16(quint16(a.toIPv4Address()))
        : char(4) + QByteArray(reinterpret_cast<const char *>(v6.c), 16);
}

/// Receives on one port and answers from another, as servers behind a balancer do.
struct Echo
{
    QUdpSocket in, out;
    int received = 0;
    explicit Echo(const QHostAddress &at)
    {
        if (!in.bind(at, 0) || !out.bind(at, 0))
            return;
        QObject::connect(&in, &QUdpSocket::readyRead, &in, [this] {
            while (in.hasPendingDatagrams()) {
                const QNetworkDatagram d = in.receiveDatagram();
                ++received;
                out.writeDatagram(d.data(), d.senderAddress(), quint16(d.senderPort()));
            }
        });
    }
};

/// A client's association: its TCP connection, its UDP socket, the relay address it was told.
struct Association
{
    Client tcp;
    QUdpSocket udp;
    QHostAddress relayHost;
    quint16 relayPort = 0;
    QList<QByteArray> answers;

    bool open(quint16 proxy, const QHostAddress &at, const QByteArray &hint)
    {
        if (!udp.bind(at, 0) || !tcp.connectTo(proxy, at, at))
            return false;
        QObject::connect(&udp, &QUdpSocket::readyRead, &udp, [this] {
            while (udp.hasPendingDatagrams())
                answers << udp.receiveDatagram().data();
        });
        tcp.socket->write(hex("050100 050300") + hint + port16(udp.localPort()));
        const qsizetype length = at.protocol() == QAbstractSocket::IPv4Protocol ? 12 : 24;
        if (!QTest::qWaitFor([&] { return tcp.received.size() >= length; }))
            return false;
        const QByteArray r = tcp.received;
        relayHost = length == 12 ? QHostAddress(qFromBigEndian<quint32>(r.constData() + 6))
                                 : QHostAddress(reinterpret_cast<const quint8 *>(r.data() + 6));
        relayPort = qFromBigEndian<quint16>(r.constData() + length - 2);
        return r.first(6) == hex("0500 050000") + char(length == 12 ? 1 : 4);
    }
    void send(const QByteArray &datagram) { udp.writeDatagram(datagram, relayHost, relayPort); }
};

} // namespace

class tst_UdpProxy final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void echo_data()
    {
        QTest::addColumn<QString>("client");
        QTest::addColumn<QByteArray>("hint"); // the request's DST
        QTest::addColumn<QString>("destination"); // an address, or a name the proxy resolves
        QTest::addColumn<int>("size");
        QTest::addColumn<int>("count");
        const QByteArray zero = hex("01 00000000");
        QTest::newRow("IPv4, DST 0.0.0.0, more than one wake-up reads")
            << u"127.0.0.1"_s << zero << u"127.0.0.1"_s << 100 << 80;
        QTest::newRow("IPv4, DST the name 0, to IPv6")
            << u"127.0.0.1"_s << hex("03 01 30") << u"::1"_s << 10 << 2;
        QTest::newRow("IPv6, DST ::, 65,507 bytes to IPv4")
            << u"::1"_s << addressBytes(u"::"_s) << u"127.0.0.1"_s << 65507 << 2;
        QTest::newRow("IPv6, DST its own address")
            << u"::1"_s << addressBytes(u"::1"_s) << u"::1"_s << 10 << 2;
        QTest::newRow("by name") << u"127.0.0.1"_s << zero << u"echo.test"_s << 10 << 2;
    }
    void echo()
    {
        QFETCH(QString, client);
        QFETCH(QByteArray, hint);
        QFETCH(QString, destination);
        QFETCH(int, size);
        QFETCH(int, count);
        Proxy proxy;
        proxy.allowed.append(u"::1"_s);
        const QHostAddress ip(destination == u"echo.test"_s ? u"127.0.0.1"_s : destination);
        proxy.names.add(u"echo.test"_s, { ip });
        Echo echo(ip);
        Association a;
        if (!echo.out.isValid() || !a.udp.bind(QHostAddress(client), 0))
            QSKIP("no IPv6 loopback");
        a.udp.close();
        QVERIFY(a.open(proxy.port, QHostAddress(client), hint));
        QCOMPARE(a.relayHost, QHostAddress(client)); // the address the client reached us at
        const QByteArray payload = pattern(size);
        for (int i = 0; i < count; ++i)
            a.send(
                hex("000000") + addressBytes(destination) + port16(echo.in.localPort()) + payload);
        QTRY_COMPARE(a.answers.size(), count);
        QCOMPARE(a.answers.last(),
            hex("000000") + addressBytes(ip.toString()) + port16(echo.out.localPort()) + payload);
        const relay::ConnectionInfo info = proxy.relay.snapshot().connections.at(0);
        QCOMPARE(info.protocol, relay::Protocol::Udp);
        QCOMPARE(
            QList<qint64>({ info.datagramsUp, info.bytesUp, info.datagramsDown, info.bytesDown }),
            QList<qint64>({ count, count * size, count, count * size }));
        const QString relayText = a.relayHost.protocol() == QAbstractSocket::IPv6Protocol
            ? u"[::1]:%1"_s.arg(a.relayPort)
            : u"127.0.0.1:%1"_s.arg(a.relayPort);
        QVERIFY(proxy.log.filter(u" on "_s).value(0).endsWith(relayText));
        a.tcp.socket->disconnectFromHost();
        QTRY_COMPARE_WITH_TIMEOUT(proxy.log.last(),
            u"Proxy [0] UDP Association Ended: %1 datagrams (%2 bytes) up, %1 datagrams (%2 bytes) down"_s
                .arg(count)
                .arg(count * size),
            1000);
    }

    // Each is dropped, and the association goes on: the good datagram after it is echoed.
    void dropped_data()
    {
        QTest::addColumn<QByteArray>(
            "datagram"); // the header; "@" is the echo's port, "P" the proxy's
        QTest::addColumn<QString>("from"); // the client's socket, or one of another port or address
        const auto row = [](const char *tag, const char *header, const QString &from = {}) {
            QTest::newRow(tag) << QByteArray(header) << from;
        };
        row("RSV not 0", "000100 017F000001@");
        row("FRAG not 0", "000001 017F000001@");
        row("short", "000000 017F0000");
        row("ATYP 2", "000000 027F000001@");
        row("empty name", "000000 0300@");
        row("a name that does not resolve", "000000 030C6E6F77686572652E74657374@"); // nowhere.test
        row("the guard refuses (the proxy's own port)", "000000 017F000001 P");
        row("another port of the client", "000000 017F000001@", u"127.0.0.1"_s);
        row("another address", "000000 017F000001@", u"127.0.0.2"_s);
    }
    void dropped()
    {
        QFETCH(QByteArray, datagram);
        QFETCH(QString, from);
        Proxy proxy;
        acl::Guard guard;
        proxy.relay.setAccess({ nullptr, &guard });
        proxy.names.add(u"nowhere.test"_s, {});
        Echo echo(QHostAddress::LocalHost);
        Association a;
        QVERIFY(a.open(proxy.port, QHostAddress::LocalHost, hex("01 00000000")));
        const QByteArray bad =
            QByteArray::fromHex(datagram.replace("@", port16(echo.in.localPort()).toHex())
                                    .replace("P", port16(proxy.port).toHex()));
        QUdpSocket other;
        if (from.isEmpty())
            a.send(bad);
        else
            QVERIFY(other.bind(QHostAddress(from))
                && other.writeDatagram(bad, a.relayHost, a.relayPort) > 0);
        a.send(hex("000000 017F000001") + port16(echo.in.localPort()) + "good");
        QTRY_COMPARE(a.answers.size(), 1);
        QVERIFY(a.answers[0].endsWith("good"));
        QCOMPARE(echo.received, 1);
        QCOMPARE(proxy.relay.snapshot().connections.at(0).datagramsUp, 1);
    }

    // The association ends with its TCP connection, or after its idle time; then the TCP
    // connection is closed too, the slot is free and the relay's port is given back.
    void ends_data()
    {
        QTest::addColumn<QString>("how");
        QTest::newRow("closed") << u"close"_s;
        QTest::newRow("reset") << u"reset"_s;
        QTest::newRow("idle") << u"idle"_s;
    }
    void ends()
    {
        QFETCH(QString, how);
        Proxy proxy;
        relay::Relay::Timeouts t;
        t.udpIdle = 300ms;
        proxy.relay.setTimeouts(t);
        Association a;
        QVERIFY(a.open(proxy.port, QHostAddress::LocalHost, hex("03 01 30")));
        QCOMPARE(proxy.relay.busySlots(), 1);
        if (how == u"close"_s)
            a.tcp.socket->disconnectFromHost();
        else if (how == u"reset"_s)
            a.tcp.reset();
        QTRY_COMPARE_WITH_TIMEOUT(proxy.relay.busySlots(), 0, 1000);
        QTRY_VERIFY(a.tcp.closed);
        QVERIFY(proxy.log.contains(
            u"Proxy [0] UDP Association Ended: 0 datagrams (0 bytes) up, 0 datagrams (0 bytes) down"_s));
        QUdpSocket reuse;
        QVERIFY(reuse.bind(a.relayHost, a.relayPort));
    }

    // PySocks (python3-socks) asks with the name "0" (rdns) or with 0.0.0.0, and its port.
    void pysocks_data()
    {
        QTest::addColumn<QString>("rdns");
        QTest::newRow("DST the name 0") << u"True"_s;
        QTest::newRow("DST 0.0.0.0") << u"False"_s;
    }
    void pysocks()
    {
        QFETCH(QString, rdns);
        Proxy proxy;
        Echo echo(QHostAddress::LocalHost);
        const QString script = uR"(
try: import socks, socket
except ImportError: print("missing"); raise SystemExit
s = socks.socksocket(socket.AF_INET, socket.SOCK_DGRAM)
s.set_proxy(socks.SOCKS5, "127.0.0.1", %1, rdns=%2)
s.settimeout(30)
s.sendto(b"ping", ("127.0.0.1", %3))
data, source = s.recvfrom(100)
print(data.decode(), source[0], source[1]))"_s;
        QByteArray out;
        if (!runPipeline(u"/usr/bin/python3"_s,
                u"/usr/bin/python3 -c '%1'"_s.arg(
                    script.arg(proxy.port).arg(rdns).arg(echo.in.localPort())),
                out))
            QSKIP("no /usr/bin/python3");
        if (out.startsWith("missing"))
            QSKIP("python3-socks is not installed");
        QCOMPARE(out, "ping 127.0.0.1 " + QByteArray::number(echo.out.localPort()) + '\n');
    }
};

QTEST_GUILESS_MAIN(tst_UdpProxy)
#include "tst_udpproxy.moc"
