// The SOCKS4 request's limits. Everything else the decoders decide follows from the bytes: the
// fuzz targets' checks (fuzz_socks, replayed over the corpus) and the relay's tables end to end.

#include "relay/socks4.h"

#include <QTest>

using namespace Qt::StringLiterals;
namespace socks4 = relay::socks4;
using Status4 = socks4::DecodeStatus;

Q_DECLARE_METATYPE(socks4::DecodeStatus)

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
};

QTEST_APPLESS_MAIN(tst_Codec)
#include "tst_codec.moc"
