#include "relay/socks4.h"

#include <QTest>

using namespace Qt::StringLiterals;
namespace socks4 = relay::socks4;
using Status = socks4::DecodeStatus;

Q_DECLARE_METATYPE(socks4::DecodeStatus)

class tst_Socks4 : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void decode_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<Status>("status");
        QTest::addColumn<int>("port");
        QTest::addColumn<QString>("address");
        QTest::addColumn<QByteArray>("userId");
        QTest::addColumn<int>("consumed"); // request length; what follows is payload
        QTest::addColumn<QByteArray>("hostName");
        const auto row = [](const char *name, const QByteArray &bytes, Status status, int port = 0,
                             const QString &address = {}, const QByteArray &userId = {},
                             int consumed = 0, const QByteArray &hostName = {}) {
            QTest::newRow(name) << bytes << status << port << address << userId << consumed
                                << hostName;
        };
        const auto hex = [](const char *text) { return QByteArray::fromHex(text); };
        const QByteArray head = hex("0401 0050 0A000005");
        row("bob", hex("0401 0050 0A000005 626F62 00"), Status::Complete, 80, u"10.0.0.5"_s, "bob",
            12);
        row("CD 2, empty user id", hex("0402 1F90 7F000001 00"), Status::Complete, 8080,
            u"127.0.0.1"_s, {}, 9);
        row("highest port, 0.0.0.0 names nothing", hex("0401 FFFF 00000000 00"), Status::Complete,
            65535, u"0.0.0.0"_s, {}, 9);
        row("high bytes", hex("0401 0001 FFFFFFFF 80FF0A 00"), Status::Complete, 1,
            u"255.255.255.255"_s, "\x80\xff\n", 12);
        row("first NUL ends it", hex("0401 01BB 01020304 626F62 00 0401 00"), Status::Complete, 443,
            u"1.2.3.4"_s, "bob", 12);
        row("1024-byte user id", head + QByteArray(1024, 'u') + '\0', Status::Complete, 80,
            u"10.0.0.5"_s, QByteArray(1024, 'u'), 1033);
        const QByteArray named = hex("0401 0050 00000001 626F62 00");
        row("by name", named + "example.org\0GET"_ba, Status::Complete, 80, u"0.0.0.1"_s, "bob", 24,
            "example.org");
        row("255-byte name", named + QByteArray(255, 'h') + '\0', Status::Complete, 80,
            u"0.0.0.1"_s, "bob", 268, QByteArray(255, 'h'));
        row("by name, 1024 bytes in all",
            hex("0401 0050 000000FF") + QByteArray(760, 'u') + '\0' + QByteArray(254, 'h') + '\0',
            Status::Complete, 80, u"0.0.0.255"_s, QByteArray(760, 'u'), 1024, QByteArray(254, 'h'));
        row("by name, 1025 bytes in all",
            hex("0401 0050 00000001") + QByteArray(761, 'u') + '\0' + QByteArray(254, 'h') + '\0',
            Status::TooLong);
        row("256-byte name", named + QByteArray(256, 'h'), Status::BadHostName);
        row("empty name", named + '\0', Status::BadHostName);
        row("NUL only inside fixed part", hex("0401 0000 00000000 6162"), Status::NeedMore);
        row("1024 user-id bytes, no NUL yet", head + QByteArray(1024, 'u'), Status::NeedMore);
        row("1025 user-id bytes", head + QByteArray(1025, 'u') + '\0', Status::TooLong);
        row("empty", {}, Status::NeedMore);
        row("version 5, one byte", hex("05"), Status::BadVersion);
        row("version 0", QByteArray(9, '\0'), Status::BadVersion);
    }
    void decode()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(Status, status);
        const socks4::DecodeResult result = socks4::decodeRequest(bytes);
        QCOMPARE(result.status, status);
        if (status != Status::Complete)
            return;
        QFETCH(int, port);
        QFETCH(QString, address);
        QFETCH(QByteArray, userId);
        QFETCH(int, consumed);
        QFETCH(QByteArray, hostName);
        const socks4::Request &request = result.request;
        QCOMPARE(int(request.port), port);
        QCOMPARE(request.address, address);
        QCOMPARE(request.userId, userId);
        QCOMPARE(request.consumed, qsizetype(consumed));
        QCOMPARE(request.hostName, hostName);
        // TCP may split a request anywhere: every shorter prefix asks for more.
        for (qsizetype cut = 0; cut < consumed; ++cut)
            QCOMPARE(socks4::decodeRequest(bytes.first(cut)).status, Status::NeedMore);
        // The decoded port and address, built into the replies, give the request's bytes back.
        const QByteArray portAndAddress = bytes.mid(2, 6);
        QCOMPARE(socks4::grant(request.port, request.address), "\x00\x5a"_ba + portAndAddress);
        QCOMPARE(socks4::failure(request.port, request.address), "\x00\x5b"_ba + portAndAddress);
    }

    void replies()
    {
        QCOMPARE(socks4::rejection(), "\x00\x5b"_ba);
        // Anything but a dotted IPv4 address still gives an 8-byte reply.
        QCOMPARE(socks4::grant(258, u"::1"_s), QByteArray::fromHex("005A010200000000"));
    }
};

QTEST_APPLESS_MAIN(tst_Socks4)
#include "tst_socks4.moc"
