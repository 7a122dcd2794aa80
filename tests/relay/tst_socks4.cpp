#include "relay/logtext.h"
#include "relay/socks4.h"

#include <QTest>

using namespace Qt::StringLiterals;
namespace socks4 = relay::socks4;
using socks4::DecodeStatus;

Q_DECLARE_METATYPE(socks4::DecodeStatus)

namespace {

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

void complete(const char *name, const char *bytes, int command, int port, const QString &address,
    const QByteArray &userId, int consumed)
{
    QTest::newRow(name) << hex(bytes) << DecodeStatus::Complete << command << port << address
                        << userId << consumed;
}

void notComplete(const char *name, const QByteArray &bytes, DecodeStatus status)
{
    QTest::newRow(name) << bytes << status << 0 << 0 << QString() << QByteArray() << 0;
}

} // namespace

class TestSocks4 : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void decode_data();
    void decode();
    void rejectionAndMalformedAddress();
    void requestInPieces();
    void userIdLengthBound_data();
    void userIdLengthBound();
    void hts_data();
    void hts();
    void escaping_data();
    void escaping();
    void requestLine();
};

void TestSocks4::decode_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<DecodeStatus>("status");
    QTest::addColumn<int>("command");
    QTest::addColumn<int>("port");
    QTest::addColumn<QString>("address");
    QTest::addColumn<QByteArray>("userId");
    QTest::addColumn<int>("consumed");
    complete("bob", "0401 0050 0A000005 626F62 00", 1, 80, u"10.0.0.5"_s, "bob"_ba, 12);
    complete("CD 2, empty user id", "0402 1F90 7F000001 00", 2, 8080, u"127.0.0.1"_s, {}, 9);
    complete("highest port, zero address", "0401 FFFF 00000000 00", 1, 65535, u"0.0.0.0"_s, {}, 9);
    complete("high bytes", "0401 0001 FFFFFFFF 80FF0A 00", 1, 1, u"255.255.255.255"_s,
        "\x80\xff\n"_ba, 12);
    // What follows the first NUL (a SOCKS4a host name, or payload) is not part of the request.
    complete("first NUL ends it", "0401 0050 00000001 626F62 00 6578616D706C65 00 0001", 1, 80,
        u"0.0.0.1"_s, "bob"_ba, 12);
    notComplete(
        "NUL only inside fixed part", hex("0401 0000 00000000 6162"), DecodeStatus::NeedMore);
    notComplete("version 5, one byte", hex("05"), DecodeStatus::BadVersion);
    notComplete("version 0", QByteArray(9, '\0'), DecodeStatus::BadVersion);
}

void TestSocks4::decode()
{
    QFETCH(QByteArray, bytes);
    QFETCH(DecodeStatus, status);
    const socks4::DecodeResult result = socks4::decodeRequest(bytes);
    QCOMPARE(result.status, status);
    if (status != DecodeStatus::Complete)
        return;
    QFETCH(int, command);
    QFETCH(int, port);
    QFETCH(QString, address);
    QFETCH(QByteArray, userId);
    QFETCH(int, consumed);
    const socks4::Request &request = result.request;
    QCOMPARE(request.version, socks4::Version);
    QCOMPARE(int(request.command), command);
    QCOMPARE(int(request.port), port);
    QCOMPARE(request.address, address);
    QCOMPARE(request.userId, userId);
    QCOMPARE(request.consumed, qsizetype(consumed));
    // The decoded port and address, built into the replies, give the request's bytes back.
    const QByteArray portAndAddress = bytes.mid(2, 6).toHex(' ');
    QCOMPARE(socks4::grant(request.port, request.address).toHex(' '), "00 5a "_ba + portAndAddress);
    QCOMPARE(
        socks4::failure(request.port, request.address).toHex(' '), "00 5b "_ba + portAndAddress);
}

void TestSocks4::rejectionAndMalformedAddress()
{
    QCOMPARE(socks4::rejection(), hex("005B"));
    // A malformed address still gives an 8-byte reply.
    QCOMPARE(socks4::grant(258, u"1.2"_s), hex("005A010201020000"));
}

void TestSocks4::requestInPieces()
{
    const QByteArray whole = hex("0401 0050 0A000005 626F62 00") + "GET"_ba;
    const qsizetype requestLength = whole.size() - 3;
    for (qsizetype cut = 0; cut < whole.size(); ++cut) {
        const socks4::DecodeResult result = socks4::decodeRequest(whole.first(cut));
        const auto expected = cut < requestLength ? DecodeStatus::NeedMore : DecodeStatus::Complete;
        QVERIFY2(result.status == expected, qPrintable(QString::number(cut)));
        if (expected == DecodeStatus::Complete) {
            QCOMPARE(result.request.userId, "bob"_ba);
            QCOMPARE(result.request.consumed, requestLength);
        }
    }
}

void TestSocks4::userIdLengthBound_data()
{
    QTest::addColumn<int>("userIdLength");
    QTest::addColumn<bool>("withNul");
    QTest::addColumn<DecodeStatus>("status");
    QTest::newRow("1024 without NUL") << 1024 << false << DecodeStatus::NeedMore;
    QTest::newRow("1025 without NUL") << 1025 << false << DecodeStatus::TooLong;
    QTest::newRow("1024 with NUL") << 1024 << true << DecodeStatus::Complete;
    QTest::newRow("1025 with NUL") << 1025 << true << DecodeStatus::TooLong;
}

void TestSocks4::userIdLengthBound()
{
    QFETCH(int, userIdLength);
    QFETCH(bool, withNul);
    QFETCH(DecodeStatus, status);
    QByteArray bytes = hex("0401 0050 0A000005") + QByteArray(userIdLength, 'u');
    if (withNul)
        bytes += '\0' + "payload"_ba;
    const socks4::DecodeResult result = socks4::decodeRequest(bytes);
    QCOMPARE(result.status, status);
    if (status == DecodeStatus::Complete) {
        QCOMPARE(result.request.userId.size(), userIdLength);
        QCOMPARE(result.request.consumed, 8 + userIdLength + 1);
    }
}

void TestSocks4::hts_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("1F90") << u"1F90"_s << hex("1F90");
    QTest::newRow("empty") << QString() << QByteArray();
    QTest::newRow("lower case") << u"ffab"_s << hex("FFAB");
    QTest::newRow("odd last digit") << u"ABC"_s << hex("AB0C");
    QTest::newRow("zeros") << u"0000"_s << QByteArray(2, '\0');
    QTest::newRow("not hex") << u"G1"_s << QByteArray(1, '\0');
    QTest::newRow("hex then not hex") << u"1G"_s << hex("01");
}

void TestSocks4::hts()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, bytes);
    QCOMPARE(socks4::HtS(text), bytes);
}

void TestSocks4::escaping_data()
{
    QTest::addColumn<QByteArray>("userId");
    QTest::addColumn<QString>("shown");
    QTest::newRow("plain") << "bob"_ba << u"bob"_s;
    QTest::newRow("CR LF") << "a\r\nProxy [1] Connected"_ba << u"a\\x0d\\x0aProxy [1] Connected"_s;
    QTest::newRow("NUL, tab, escape") << QByteArray("a\0\t\x1b", 4) << u"a\\x00\\x09\\x1b"_s;
    QTest::newRow("DEL") << "\x7f"_ba << u"\\x7f"_s;
    QTest::newRow("blank and tilde kept") << " ~"_ba << u" ~"_s;
    QTest::newRow("C1 controls escaped, letters kept")
        << "\x80\x85\x9f\xa0\xe9\xff"_ba << u"\\x80\\x85\\x9f\u00a0\u00e9\u00ff"_s;
}

void TestSocks4::escaping()
{
    QFETCH(QByteArray, userId);
    QFETCH(QString, shown);
    QCOMPARE(socks4::describeUserId(userId), shown);
    QCOMPARE(relay::escapeControls(QString::fromLatin1(userId)), shown);
}

void TestSocks4::requestLine()
{
    const auto line = [](int slot, const char *bytes) {
        return socks4::requestLine(slot, socks4::decodeRequest(hex(bytes)).request);
    };
    QCOMPARE(
        line(0, "0401 0050 0A000005 626F62 00"), u"Proxy [0] Request from bob to 10.0.0.5:80"_s);
    QCOMPARE(line(15, "0401 FFFF 7F000001 00"), u"Proxy [15] Request from  to 127.0.0.1:65535"_s);
    QCOMPARE(line(3, "0401 01BB 01020304 25310A78 00"),
        u"Proxy [3] Request from %1\\x0ax to 1.2.3.4:443"_s);
}

QTEST_APPLESS_MAIN(TestSocks4)
#include "tst_socks4.moc"
