#include "net/sockaddr.h"
#include "relay/udpheader.h"

#include <QTest>

namespace udp = relay::socks5udp;
using namespace Qt::StringLiterals;
using Status = udp::Status;
Q_DECLARE_METATYPE(udp::Status)

class tst_UdpHeader : public QObject
{
    Q_OBJECT
    static QByteArray hex(const char *text) { return QByteArray::fromHex(text); }

private Q_SLOTS:
    void decode_data()
    {
        QTest::addColumn<QByteArray>("datagram");
        QTest::addColumn<Status>("status");
        QTest::addColumn<QByteArray>("address"); // or the name
        QTest::addColumn<int>("port");
        QTest::addColumn<int>("payloadOffset");
        const QByteArray big(udp::MaxIPv4Payload, 'x'), name(255, 'n');
        const auto row = [](const char *tag, const QByteArray &d, Status s,
                             const QByteArray &a = {}, int port = 0, int offset = 0) {
            QTest::newRow(tag) << d << s << a << port << offset;
        };
        row("IPv4", hex("000000 01 0A000005 0035") + "query", Status::Ok, "10.0.0.5", 53, 10);
        row("IPv6", hex("000000 04 20010db8000000000000000000000001 FFFF"), Status::Ok,
            "2001:db8::1", 65535, 22);
        row("IPv4-mapped stays IPv6", hex("000000 04 00000000000000000000FFFF7F000001 0007"),
            Status::Ok, "::ffff:127.0.0.1", 7, 22);
        row("name", hex("000000 03 0B") + "example.org" + hex("01BB") + "x", Status::Ok,
            "example.org", 443, 18);
        row("255-byte name", hex("000000 03 FF") + name + hex("0001"), Status::Ok, name, 1, 262);
        row("65,507-byte payload", hex("000000 01 7F000001 0007") + big, Status::Ok, "127.0.0.1", 7,
            10);
        row("empty", {}, Status::Short);
        row("three bytes", hex("000000"), Status::Short);
        row("no name length", hex("000000 03"), Status::Short);
        row("name cut", hex("000000 03 05 6162 "), Status::Short);
        row("IPv4 port cut", hex("000000 01 7F000001 00"), Status::Short);
        row("IPv6 address cut", hex("000000 04 20010db8"), Status::Short);
        row("first RSV", hex("010000 01 7F000001 0007"), Status::ReservedNotZero);
        row("second RSV", hex("008000 01 7F000001 0007"), Status::ReservedNotZero);
        row("fragment 1", hex("000001 01 7F000001 0007"), Status::Fragmented);
        row("last fragment", hex("000081 01 7F000001 0007"), Status::Fragmented);
        row("ATYP 0", hex("000000 00 7F000001 0007"), Status::UnknownAddressType);
        row("ATYP 2", hex("000000 02"), Status::UnknownAddressType);
        row("empty name", hex("000000 03 00 0035") + "x", Status::EmptyName);
    }
    void decode()
    {
        QFETCH(QByteArray, datagram);
        QFETCH(Status, status);
        QFETCH(QByteArray, address);
        QFETCH(int, port);
        QFETCH(int, payloadOffset);
        const udp::Decoded d = udp::decode(datagram);
        QCOMPARE(d.status, status);
        QCOMPARE(d.payloadOffset, payloadOffset);
        if (status != Status::Ok)
            return;
        const relay::Destination &to = d.destination;
        QCOMPARE(to.address.isNull() ? to.hostName : to.address.toString().toLatin1(), address);
        QCOMPARE(to.port, port);
    }

    void wrap_data()
    {
        QTest::addColumn<QHostAddress>("source");
        QTest::addColumn<int>("port");
        QTest::addColumn<QByteArray>("header");
        QTest::newRow("IPv4") << QHostAddress(u"192.0.2.7"_s) << 53
                              << hex("000000 01 C0000207 0035");
        QTest::newRow("IPv4-mapped as IPv4")
            << QHostAddress(u"::ffff:127.0.0.1"_s) << 65535 << hex("000000 01 7F000001 FFFF");
        QTest::newRow("IPv6") << QHostAddress(u"2001:db8::1"_s) << 1
                              << hex("000000 04 20010db8000000000000000000000001 0001");
    }
    void wrap()
    {
        QFETCH(QHostAddress, source);
        QFETCH(int, port);
        QFETCH(QByteArray, header);
        QCOMPARE(udp::wrap(source, quint16(port), "data"), header + "data");
        // What we wrap, a client's library decodes: the same source, the same payload.
        const QByteArray big(udp::MaxIPv4Payload, 'b');
        const QByteArray wrapped = udp::wrap(source, quint16(port), big);
        const udp::Decoded back = udp::decode(wrapped);
        QCOMPARE(back.status, Status::Ok);
        QCOMPARE(net::plain(back.destination.address), net::plain(source));
        QCOMPARE(wrapped.sliced(back.payloadOffset), big);
    }
};

QTEST_GUILESS_MAIN(tst_UdpHeader)
#include "tst_udpheader.moc"
