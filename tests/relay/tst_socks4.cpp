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
        QTest::addColumn<QByteArray>("hostName");
        QTest::addColumn<int>("consumed"); // request length; what follows is payload
        const auto row = [](const char *name, const QByteArray &bytes, Status status, int port = 0,
                             const QString &address = {}, const QByteArray &userId = {},
                             const QByteArray &hostName = {}, int consumed = 0) {
            QTest::newRow(name) << bytes << status << port << address << userId << hostName
                                << consumed;
        };
        const auto hex = [](const char *text) { return QByteArray::fromHex(text); };
        const QByteArray head = hex("0401 0050 0A000005");
        const QByteArray named = hex("0401 0050 00000001 626F62 00");
        const QByteArray u(1024, 'u'), h(255, 'h');
        row("bob", head + "bob\0"_ba, Status::Complete, 80, u"10.0.0.5"_s, "bob", {}, 12);
        row("highest port, 0.0.0.0 names nothing", hex("0401 FFFF 00000000 00"), Status::Complete,
            65535, u"0.0.0.0"_s, {}, {}, 9);
        row("high bytes", hex("0401 0001 FFFFFFFF 80FF0A 00"), Status::Complete, 1,
            u"255.255.255.255"_s, "\x80\xff\n", {}, 12);
        row("1024-byte user id", head + u + '\0', Status::Complete, 80, u"10.0.0.5"_s, u, {}, 1033);
        row("by name", named + "example.org\0GET"_ba, Status::Complete, 80, u"0.0.0.1"_s, "bob",
            "example.org", 24);
        row("255-byte name", named + h + '\0', Status::Complete, 80, u"0.0.0.1"_s, "bob", h, 268);
        row("by name, 1024 bytes in all",
            hex("0401 0050 000000FF") + u.first(760) + '\0' + h.first(254) + '\0', Status::Complete,
            80, u"0.0.0.255"_s, u.first(760), h.first(254), 1024);
        row("by name, 1025 bytes in all",
            hex("0401 0050 00000001") + u.first(761) + '\0' + h.first(254) + '\0', Status::TooLong);
        row("256-byte name", named + h + 'h', Status::BadHostName);
        row("empty name", named + '\0', Status::BadHostName);
        row("NUL only inside fixed part", hex("0401 0000 00000000 6162"), Status::NeedMore);
        row("1024 user-id bytes, no NUL yet", head + u, Status::NeedMore);
        row("1025 user-id bytes", head + u + "u\0"_ba, Status::TooLong);
        row("version 5, one byte", hex("05"), Status::BadVersion);
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
        QFETCH(QByteArray, hostName);
        QFETCH(int, consumed);
        const socks4::Request &request = result.request;
        QCOMPARE(int(request.port), port);
        QCOMPARE(request.address, address);
        QCOMPARE(request.userId, userId);
        QCOMPARE(request.hostName, hostName);
        QCOMPARE(request.consumed, qsizetype(consumed));
        // TCP may split a request anywhere: every shorter prefix asks for more.
        for (qsizetype cut = 0; cut < consumed; ++cut)
            QCOMPARE(socks4::decodeRequest(bytes.first(cut)).status, Status::NeedMore);
    }
};

QTEST_APPLESS_MAIN(tst_Socks4)
#include "tst_socks4.moc"
