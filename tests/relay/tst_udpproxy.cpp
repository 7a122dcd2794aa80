// UDP associations served end to end: a SOCKS5 client asks over TCP, then sends datagrams to the
// relay address it is told, to an echo that answers from another port (Qt's own UDP sockets).

#include "harness.h"

#include "relay/socks5.h"
#include "relay/udpheader.h"

#include <QNetworkDatagram>
#include <QUdpSocket>
#include <QtEndian>

using namespace harness;
using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

QByteArray hex(const QByteArray &text)
{
    return QByteArray::fromHex(text);
}

/// Receives on one port and answers from another, as servers behind a balancer may.
struct Echo
{
    QUdpSocket in, out;
    int received = 0;
    explicit Echo(const QHostAddress &at)
    {
        if (in.bind(at) && out.bind(at))
            QObject::connect(&in, &QUdpSocket::readyRead, &in, [this] {
                for (; in.hasPendingDatagrams(); ++received) {
                    const QNetworkDatagram d = in.receiveDatagram();
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

    /// The header of a datagram to an address, or to a name.
    static QByteArray header(const QString &to, quint16 port)
    {
        if (QHostAddress(to).isNull())
            return hex("000000 03") + char(to.size()) + to.toLatin1() + port16(port);
        return relay::socks5udp::header(QHostAddress(to), port);
    }
    /// Asks with `hint`; BND must be the address the client reached the proxy at.
    bool open(quint16 proxy, const QHostAddress &at, const QByteArray &hint)
    {
        QObject::connect(&udp, &QUdpSocket::readyRead, &udp, [this] {
            while (udp.hasPendingDatagrams())
                answers << udp.receiveDatagram().data();
        });
        if (!udp.bind(at) || !tcp.connectTo(proxy, at, at))
            return false;
        tcp.socket->write(hex("050100 050300") + hint + port16(udp.localPort()));
        const qsizetype length = at.protocol() == QAbstractSocket::IPv4Protocol ? 12 : 24;
        if (!QTest::qWaitFor([&] { return tcp.received.size() >= length; }))
            return false;
        relayHost = at;
        relayPort = qFromBigEndian<quint16>(tcp.received.constData() + length - 2);
        return tcp.received == hex("0500") + relay::socks5::reply({}, at, relayPort);
    }
    void send(const QByteArray &datagram) { udp.writeDatagram(datagram, relayHost, relayPort); }
};

/// An association_data() row: the client, its request's DST, where its datagrams go (an address,
/// or a name the proxy resolves), how many of what size, how it ends (close, reset, or idle),
/// and a datagram dropped before them ("@" is the echo's port, "P" the proxy's), sent from the
/// client's socket or from `from`, another port or address.
struct Case
{
    const char *client = "127.0.0.1", *hint = "01 00000000", *to = "127.0.0.1";
    int size = 10, count = 2;
    const char *end = "close", *dropped = "", *from = "";
};

} // namespace

Q_DECLARE_METATYPE(Case)

class tst_UdpProxy final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // Echoes, answered from another port, after a datagram that is dropped while the association
    // goes on; then it ends with its TCP connection (within 1 s) or after its idle time, the TCP
    // connection is closed too, the slot is free and the relay's port given back.
    void association_data()
    {
        QTest::addColumn<Case>("c");
        QTest::newRow("IPv4, DST 0.0.0.0, more than one wake-up reads") << Case { .count = 80 };
        QTest::newRow("IPv4, DST the name 0, to IPv6")
            << Case { .hint = "03 01 30", .to = "::1", .end = "reset" };
        QTest::newRow("IPv6, DST ::, 65,507 bytes to IPv4")
            << Case { "::1", "04 00000000000000000000000000000000", "127.0.0.1", 65507, 2, "idle" };
        QTest::newRow("IPv6, DST its own address")
            << Case { "::1", "04 00000000000000000000000000000001", "::1" };
        QTest::newRow("by name") << Case { .hint = "01 7F000001", .to = "echo.test" };
        const auto drop = [](const char *tag, const char *datagram, const char *from = "") {
            QTest::newRow(tag) << Case { .count = 1, .dropped = datagram, .from = from };
        };
        drop("FRAG not 0 (a bad header: fuzz_udp)", "000001 017F000001@");
        drop("short", "000000 017F0000");
        drop("port 0", "000000 017F000001 0000");
        drop("a name that does not resolve", "000000 030C 6E6F77686572652E74657374@");
        drop("the guard refuses (the proxy's own port)", "000000 017F000001 P");
        drop("another port of the client", "000000 017F000001@", "127.0.0.1");
        drop("another address", "000000 017F000001@", "127.0.0.2");
    }
    void association()
    {
        QFETCH(Case, c);
        const QHostAddress client(QString::fromLatin1(c.client));
        const QString destination = QString::fromLatin1(c.to), end = QString::fromLatin1(c.end);
        const int size = c.size, count = c.count;
        Proxy proxy;
        proxy.allowed.append(u"::1"_s);
        acl::Guard guard;
        proxy.relay.setAccess({ nullptr, &guard });
        relay::Relay::Timeouts limits;
        limits.udpIdle = end == u"idle"_s ? 1s : 60s;
        proxy.relay.setTimeouts(limits);
        const QHostAddress ip(destination == u"echo.test"_s ? u"127.0.0.1"_s : destination);
        proxy.names.add(u"echo.test"_s, { ip });
        proxy.names.add(u"nowhere.test"_s, {});
        Echo echo(ip);
        if (!echo.out.isValid() || !QUdpSocket().bind(client))
            QSKIP("no IPv6 loopback");
        Association a;
        QVERIFY(a.open(proxy.port, client, hex(c.hint)));
        QUdpSocket other;
        const QByteArray bad = hex(QByteArray(c.dropped)
                                       .replace("@", port16(echo.in.localPort()).toHex())
                                       .replace("P", port16(proxy.port).toHex()));
        if (*c.from)
            QVERIFY(other.bind(QHostAddress(QString::fromLatin1(c.from)))
                && other.writeDatagram(bad, a.relayHost, a.relayPort));
        else if (!bad.isEmpty())
            a.send(bad);
        const QByteArray payload = pattern(size);
        for (int i = 0; i < count; ++i)
            a.send(Association::header(destination, echo.in.localPort()) + payload);
        QTRY_COMPARE(a.answers.size(), count);
        QCOMPARE(echo.received, count);
        QCOMPARE(a.answers.last(), relay::socks5udp::wrap(ip, echo.out.localPort(), payload));
        const relay::ConnectionInfo i = proxy.relay.snapshot().connections.at(0);
        QCOMPARE(i.protocol, relay::Protocol::Udp);
        QCOMPARE(QList<qint64>({ i.datagramsUp, i.bytesUp, i.datagramsDown, i.bytesDown }),
            QList<qint64>({ count, count * size, count, count * size }));
        QVERIFY(proxy.log.filter(u"UDP Association from"_s)
                    .value(0)
                    .endsWith(u" on "_s + ui::destinationText({ a.relayHost, {}, a.relayPort })));

        if (end == u"close"_s)
            a.tcp.socket->disconnectFromHost();
        else if (end == u"reset"_s)
            a.tcp.reset();
        QTRY_COMPARE_WITH_TIMEOUT(proxy.relay.busySlots(), 0, end == u"idle"_s ? 5000 : 1000);
        QTRY_VERIFY(a.tcp.closed);
        QCOMPARE(proxy.log.last(),
            u"Proxy [0] UDP Association Ended: %1 datagrams (%2 bytes) up, %1 datagrams (%2 "
            "bytes) down"_s.arg(count)
                .arg(count * size));
        QVERIFY(QUdpSocket().bind(a.relayHost, a.relayPort));
    }

    // PySocks (python3-socks) asks with the name "0" (rdns) and its port.
    void pysocks()
    {
        Proxy proxy;
        Echo echo(QHostAddress::LocalHost);
        const QString script = uR"(
try: import socket, socks
except ImportError: print("missing"); raise SystemExit
s = socks.socksocket(socket.AF_INET, socket.SOCK_DGRAM)
s.set_proxy(socks.SOCKS5, "127.0.0.1", %1, rdns=True); s.settimeout(30)
s.sendto(b"ping", ("127.0.0.1", %2)); print(*s.recvfrom(100)))"_s;
        QByteArray out;
        const QString run = script.arg(proxy.port).arg(echo.in.localPort());
        if (!runPipeline(u"/usr/bin/python3"_s, u"/usr/bin/python3 -c '%1'"_s.arg(run), out))
            QSKIP("no /usr/bin/python3");
        if (out.startsWith("missing"))
            QSKIP("python3-socks is not installed");
        QCOMPARE(out, "b'ping' ('127.0.0.1', " + QByteArray::number(echo.out.localPort()) + ")\n");
    }
};

QTEST_GUILESS_MAIN(tst_UdpProxy)
#include "tst_udpproxy.moc"
