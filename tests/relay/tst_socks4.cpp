#include "relay/socks4.h"

#include <QTest>

using namespace Qt::StringLiterals;
namespace socks4 = relay::socks4;
using socks4::DecodeStatus;

Q_DECLARE_METATYPE(socks4::DecodeStatus)

namespace {

QByteArray request(
    quint8 command, quint16 port, const QByteArray &address, const QByteArray &userId)
{
    QByteArray bytes;
    bytes.append(static_cast<char>(socks4::Version));
    bytes.append(static_cast<char>(command));
    bytes.append(static_cast<char>(port >> 8));
    bytes.append(static_cast<char>(port & 0xFF));
    bytes.append(address);
    bytes.append(userId);
    bytes.append('\0');
    return bytes;
}

} // namespace

class TestSocks4 : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void decode_data();
    void decode();
    void grantCarriesPortAndAddress_data();
    void grantCarriesPortAndAddress();
    void rejectionAndFailure();
    void requestInPieces();
    void payloadAfterNulIsNotConsumed();
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

    QTest::newRow("bob") << QByteArray::fromHex("0401 0050 0A000005 626F62 00")
                         << DecodeStatus::Complete << 1 << 80 << u"10.0.0.5"_s << "bob"_ba << 12;
    QTest::newRow("empty user id")
        << QByteArray::fromHex("0401 0050 0A000005 00") << DecodeStatus::Complete << 1 << 80
        << u"10.0.0.5"_s << QByteArray() << 9;
    QTest::newRow("CD 2 decodes like CD 1")
        << QByteArray::fromHex("0402 1F90 7F000001 00") << DecodeStatus::Complete << 2 << 8080
        << u"127.0.0.1"_s << QByteArray() << 9;
    QTest::newRow("port 1025") << QByteArray::fromHex("0401 0401 C0A80001 00")
                               << DecodeStatus::Complete << 1 << 1025 << u"192.168.0.1"_s
                               << QByteArray() << 9;
    QTest::newRow("port 443") << QByteArray::fromHex("0401 01BB FFFFFFFF 00")
                              << DecodeStatus::Complete << 1 << 443 << u"255.255.255.255"_s
                              << QByteArray() << 9;
    QTest::newRow("port 65535") << QByteArray::fromHex("0401 FFFF 00000000 00")
                                << DecodeStatus::Complete << 1 << 65535 << u"0.0.0.0"_s
                                << QByteArray() << 9;
    QTest::newRow("port 0") << QByteArray::fromHex("0401 0000 01020304 00")
                            << DecodeStatus::Complete << 1 << 0 << u"1.2.3.4"_s << QByteArray()
                            << 9;
    QTest::newRow("high bytes in user id")
        << QByteArray::fromHex("0401 0050 0A000005 80FF0A 00") << DecodeStatus::Complete << 1 << 80
        << u"10.0.0.5"_s << "\x80\xff\n"_ba << 12;
    QTest::newRow("SOCKS4a keeps the first NUL")
        << QByteArray::fromHex("0401 0050 00000001 626F62 00 6578616D706C652E636F6D 00")
        << DecodeStatus::Complete << 1 << 80 << u"0.0.0.1"_s << "bob"_ba << 12;
    QTest::newRow("empty") << QByteArray() << DecodeStatus::NeedMore << 0 << 0 << QString()
                           << QByteArray() << 0;
    QTest::newRow("version byte only") << QByteArray::fromHex("04") << DecodeStatus::NeedMore << 0
                                       << 0 << QString() << QByteArray() << 0;
    QTest::newRow("fixed part, no NUL")
        << QByteArray::fromHex("0401 0050 0A000005") << DecodeStatus::NeedMore << 0 << 0
        << QString() << QByteArray() << 0;
    QTest::newRow("NUL only inside fixed part")
        << QByteArray::fromHex("0401 0000 00000000 6162") << DecodeStatus::NeedMore << 0 << 0
        << QString() << QByteArray() << 0;
    QTest::newRow("version 5") << QByteArray::fromHex("0501 0050 0A000005 00")
                               << DecodeStatus::BadVersion << 0 << 0 << QString() << QByteArray()
                               << 0;
    QTest::newRow("version 5, one byte") << QByteArray::fromHex("05") << DecodeStatus::BadVersion
                                         << 0 << 0 << QString() << QByteArray() << 0;
    QTest::newRow("HTTP") << "GET / HTTP/1.1\r\n"_ba << DecodeStatus::BadVersion << 0 << 0
                          << QString() << QByteArray() << 0;
    QTest::newRow("version 0") << QByteArray(9, '\0') << DecodeStatus::BadVersion << 0 << 0
                               << QString() << QByteArray() << 0;
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
    QCOMPARE(result.request.version, socks4::Version);
    QCOMPARE(int(result.request.command), command);
    QCOMPARE(int(result.request.port), port);
    QCOMPARE(result.request.address, address);
    QCOMPARE(result.request.userId, userId);
    QCOMPARE(result.request.consumed, qsizetype(consumed));
}

void TestSocks4::grantCarriesPortAndAddress_data()
{
    QTest::addColumn<QByteArray>("portBytes");
    QTest::addColumn<QByteArray>("addressBytes");
    QTest::addColumn<int>("port");

    QTest::newRow("80") << QByteArray::fromHex("0050") << QByteArray::fromHex("0A000005") << 80;
    QTest::newRow("1025") << QByteArray::fromHex("0401") << QByteArray::fromHex("7F000001") << 1025;
    QTest::newRow("8080") << QByteArray::fromHex("1F90") << QByteArray::fromHex("C0A80164") << 8080;
    QTest::newRow("443") << QByteArray::fromHex("01BB") << QByteArray::fromHex("FFFFFFFF") << 443;
    QTest::newRow("65535") << QByteArray::fromHex("FFFF") << QByteArray::fromHex("00000000")
                           << 65535;
    QTest::newRow("1") << QByteArray::fromHex("0001") << QByteArray::fromHex("01000000") << 1;
}

void TestSocks4::grantCarriesPortAndAddress()
{
    QFETCH(QByteArray, portBytes);
    QFETCH(QByteArray, addressBytes);
    QFETCH(int, port);

    // The request's fields, decoded and built into the grant, give the same bytes back.
    const socks4::DecodeResult decoded =
        socks4::decodeRequest("\x04\x01"_ba + portBytes + addressBytes + "id"_ba + '\0');
    QCOMPARE(decoded.status, DecodeStatus::Complete);
    QCOMPARE(int(decoded.request.port), port);
    const QByteArray grant = socks4::grant(decoded.request.port, decoded.request.address);
    QCOMPARE(grant.toHex(' '), (QByteArray::fromHex("005A") + portBytes + addressBytes).toHex(' '));
}

void TestSocks4::rejectionAndFailure()
{
    QCOMPARE(socks4::rejection(), QByteArray::fromHex("005B"));
    QCOMPARE(socks4::failure(80, u"10.0.0.5"_s), QByteArray::fromHex("005B00500A000005"));
    QCOMPARE(socks4::grant(80, u"10.0.0.5"_s), QByteArray::fromHex("005A00500A000005"));
    // A malformed address still gives an 8-byte reply.
    QCOMPARE(socks4::grant(258, u"1.2"_s), QByteArray::fromHex("005A010201020000"));
}

void TestSocks4::requestInPieces()
{
    const QByteArray whole = QByteArray::fromHex("0401 0050 0A000005 626F62 00") + "GET"_ba;
    const qsizetype requestLength = whole.size() - 3;
    for (qsizetype cut = 0; cut < whole.size(); ++cut) {
        const socks4::DecodeResult result = socks4::decodeRequest(whole.first(cut));
        if (cut < requestLength) {
            QVERIFY2(result.status == DecodeStatus::NeedMore, qPrintable(QString::number(cut)));
        } else {
            QVERIFY2(result.status == DecodeStatus::Complete, qPrintable(QString::number(cut)));
            QCOMPARE(result.request.userId, "bob"_ba);
            QCOMPARE(result.request.consumed, requestLength);
        }
    }
}

void TestSocks4::payloadAfterNulIsNotConsumed()
{
    const QByteArray head = QByteArray::fromHex("0401 0050 0A000005 626F62 00");
    const QByteArray payload = QByteArray::fromHex("00 01 00 FF 04 01 00");
    const socks4::DecodeResult result = socks4::decodeRequest(head + payload);
    QCOMPARE(result.status, DecodeStatus::Complete);
    QCOMPARE(result.request.userId, "bob"_ba);
    QCOMPARE(result.request.consumed, head.size());
    QCOMPARE((head + payload).mid(result.request.consumed), payload);
}

void TestSocks4::userIdLengthBound_data()
{
    QTest::addColumn<int>("userIdLength");
    QTest::addColumn<bool>("withNul");
    QTest::addColumn<DecodeStatus>("status");

    QTest::newRow("1024 without NUL") << 1024 << false << DecodeStatus::NeedMore;
    QTest::newRow("1025 without NUL") << 1025 << false << DecodeStatus::TooLong;
    QTest::newRow("5000 without NUL") << 5000 << false << DecodeStatus::TooLong;
    QTest::newRow("1024 with NUL") << 1024 << true << DecodeStatus::Complete;
    QTest::newRow("1025 with NUL") << 1025 << true << DecodeStatus::TooLong;
}

void TestSocks4::userIdLengthBound()
{
    QFETCH(int, userIdLength);
    QFETCH(bool, withNul);
    QFETCH(DecodeStatus, status);
    QCOMPARE(socks4::MaxUserIdLength, 1024);

    QByteArray bytes = QByteArray::fromHex("0401 0050 0A000005") + QByteArray(userIdLength, 'u');
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

    QTest::newRow("1F90") << u"1F90"_s << QByteArray::fromHex("1F90");
    QTest::newRow("0050") << u"0050"_s << QByteArray::fromHex("0050");
    QTest::newRow("empty") << QString() << QByteArray();
    QTest::newRow("lower case") << u"ffab"_s << QByteArray::fromHex("FFAB");
    QTest::newRow("odd last digit") << u"ABC"_s << QByteArray::fromHex("AB0C");
    QTest::newRow("single digit") << u"7"_s << QByteArray::fromHex("07");
    QTest::newRow("zeros") << u"0000"_s << QByteArray(2, '\0');
    QTest::newRow("not hex") << u"G1"_s << QByteArray(1, '\0');
    QTest::newRow("hex then not hex") << u"1G"_s << QByteArray::fromHex("01");
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
    QTest::newRow("LF") << "a\nb"_ba << u"a\\x0ab"_s;
    QTest::newRow("CR LF") << "a\r\nProxy [1] Connected"_ba << u"a\\x0d\\x0aProxy [1] Connected"_s;
    QTest::newRow("NUL") << QByteArray("a\0b", 3) << u"a\\x00b"_s;
    QTest::newRow("DEL") << "\x7f"_ba << u"\\x7f"_s;
    QTest::newRow("tab and escape") << "\t\x1b"_ba << u"\\x09\\x1b"_s;
    QTest::newRow("blank and tilde kept") << " ~"_ba << u" ~"_s;
    QTest::newRow("C1 controls escaped, letters kept")
            << "\x80\x85\x9f\xa0\xe9\xff"_ba << u"\\x80\\x85\\x9f\u00a0\u00e9\u00ff"_s;
    QTest::newRow("empty") << QByteArray() << QString();
}

void TestSocks4::escaping()
{
    QFETCH(QByteArray, userId);
    QFETCH(QString, shown);
    QCOMPARE(socks4::describeUserId(userId), shown);
    QCOMPARE(socks4::escapeControls(QString::fromLatin1(userId)), shown);
}

void TestSocks4::requestLine()
{
    const auto decode = [](const QByteArray &bytes) {
        return socks4::decodeRequest(bytes).request;
    };
    QCOMPARE(socks4::requestLine(0, decode(QByteArray::fromHex("0401 0050 0A000005 626F62 00"))),
        u"Proxy [0] Request from bob to 10.0.0.5:80"_s);
    QCOMPARE(socks4::requestLine(15, decode(QByteArray::fromHex("0401 FFFF 7F000001 00"))),
        u"Proxy [15] Request from  to 127.0.0.1:65535"_s);
    QCOMPARE(socks4::requestLine(3, decode(request(1, 443, "\x01\x02\x03\x04"_ba, "%1\nx"_ba))),
        u"Proxy [3] Request from %1\\x0ax to 1.2.3.4:443"_s);
}

QTEST_APPLESS_MAIN(TestSocks4)
#include "tst_socks4.moc"
