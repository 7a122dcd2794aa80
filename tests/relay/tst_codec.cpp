#include "relay/socks4.h"
#include "relay/socks5.h"

#include <QTest>
#include <cerrno>

using namespace Qt::StringLiterals;
namespace socks4 = relay::socks4;
namespace socks5 = relay::socks5;
using Status4 = socks4::DecodeStatus;
using Greeting = socks5::GreetingStatus;
using Status5 = socks5::RequestStatus;

Q_DECLARE_METATYPE(socks4::DecodeStatus)
Q_DECLARE_METATYPE(socks5::GreetingStatus)
Q_DECLARE_METATYPE(socks5::RequestStatus)

class tst_Codec : public QObject
{
    Q_OBJECT
    static QByteArray hex(const char *text) { return QByteArray::fromHex(text); }

private Q_SLOTS:
    void socks4_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<Status4>("status");
        QTest::addColumn<int>("consumed"); // request length; what follows is payload
        const QByteArray named = hex("0401 0050 00000001 626F62 00");
        const QByteArray u(1024, 'u'), h(255, 'h');
        const auto row = [](const char *name, const QByteArray &bytes, Status4 status,
                             int consumed = 0) {
            QTest::newRow(name) << bytes << status << consumed;
        };
        row("high bytes, highest port", hex("0401 FFFF FFFFFFFF 80FF0A 00"), Status4::Complete, 12);
        row("1024-byte user id", hex("0401 0050 0A000005") + u + '\0', Status4::Complete, 1033);
        row("1025-byte user id", hex("0401 0050 0A000005") + u + "u\0"_ba, Status4::TooLong);
        row("by name, payload after", named + "example.org\0GET"_ba, Status4::Complete, 24);
        row("by name, 1024 bytes in all",
            hex("0401 0050 000000FF") + u.first(760) + '\0' + h.first(254) + '\0',
            Status4::Complete, 1024);
        row("by name, 1025 bytes in all",
            hex("0401 0050 00000001") + u.first(761) + '\0' + h.first(254) + '\0',
            Status4::TooLong);
        row("empty name", named + '\0', Status4::BadHostName);
        row("NUL only inside fixed part", hex("0401 0000 00000000 6162"), Status4::NeedMore);
        row("version 5", hex("05"), Status4::BadVersion);
    }
    void socks4()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(Status4, status);
        QFETCH(int, consumed);
        const socks4::DecodeResult result = socks4::decodeRequest(bytes);
        QCOMPARE(result.status, status);
        if (status != Status4::Complete)
            return;
        QCOMPARE(result.request.consumed, qsizetype(consumed));
        for (qsizetype cut = 0; cut < consumed; ++cut) // TCP may split a request anywhere
            QCOMPARE(socks4::decodeRequest(bytes.first(cut)).status, Status4::NeedMore);
    }

    void greeting_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<Greeting>("status");
        QTest::addColumn<int>("consumed");
        QTest::newRow("00 among others") << hex("0503 02 80 00") << Greeting::Accepted << 5;
        QTest::newRow("255 methods, 00 last")
            << hex("05FF") + QByteArray(254, '\x02') + '\0' << Greeting::Accepted << 257;
        QTest::newRow("no methods") << hex("0500 00") << Greeting::NoAcceptableMethod << 2;
    }
    void greeting()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(Greeting, status);
        QFETCH(int, consumed);
        const socks5::GreetingResult result = socks5::decodeGreeting(bytes);
        QCOMPARE(result.status, status);
        QCOMPARE(result.consumed, qsizetype(consumed));
        for (qsizetype cut = 0; cut < consumed; ++cut)
            QCOMPARE(socks5::decodeGreeting(bytes.first(cut)).status, Greeting::NeedMore);
    }
    void request_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<Status5>("status");
        QTest::addColumn<int>("decided"); // bytes needed for the verdict
        QTest::addColumn<int>("consumed");
        const auto row = [](const char *name, const QByteArray &bytes, Status5 status, int decided,
                             int consumed = 0) {
            QTest::newRow(name) << bytes << status << decided << consumed;
        };
        row("IPv4, payload after, RSV not checked", hex("0501 FF 01 C0A800FE 0050") + "GET",
            Status5::Complete, 10, 10);
        row("IPv6", hex("0501 00 04 20010DB8000000000000000000000001 FFFF"), Status5::Complete, 22,
            22);
        row("255-byte name", hex("0501 00 03 FF") + QByteArray(255, '\xe9') + hex("0050"),
            Status5::Complete, 262, 262);
        row("version 4", hex("04"), Status5::BadVersion, 1);
        row("UDP ASSOCIATE by name", hex("0503 00 03 01 30 0050"), Status5::Complete, 8, 8);
    }
    void request()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(Status5, status);
        QFETCH(int, decided);
        QFETCH(int, consumed);
        const socks5::RequestResult result = socks5::decodeRequest(bytes);
        QCOMPARE(result.status, status);
        QCOMPARE(result.request.consumed, qsizetype(consumed));
        for (qsizetype cut = 0; cut < decided; ++cut)
            QCOMPARE(socks5::decodeRequest(bytes.first(cut)).status, Status5::NeedMore);
    }
    void replies()
    {
        const std::tuple<socks5::Reply, QString, quint16, const char *> cases[] = {
            { socks5::Reply::Succeeded, u"::ffff:10.0.0.5"_s, 1, "050000 01 0A000005 0001" },
            { socks5::Reply::AddressTypeNotSupported, u"::1"_s, 65535,
                "050800 04 00000000000000000000000000000001 FFFF" },
        };
        for (const auto &[code, bound, port, bytes] : cases)
            QCOMPARE(socks5::reply(code, QHostAddress(bound), port).toHex(), hex(bytes).toHex());
    }
    void replyForConnectErrors()
    {
        const std::pair<int, int> cases[] = { { ECONNREFUSED, 5 }, { ENETUNREACH, 3 },
            { EHOSTUNREACH, 4 }, { ETIMEDOUT, 6 }, { EACCES, 2 }, { EPERM, 2 }, { ECONNRESET, 1 } };
        for (const auto &[error, code] : cases)
            QCOMPARE(int(socks5::replyFor(error)), code);
    }
};

QTEST_APPLESS_MAIN(tst_Codec)
#include "tst_codec.moc"
