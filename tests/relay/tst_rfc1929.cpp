// The username/password decoder, fed as the relay feeds it: split at every byte, with the SOCKS5
// request right behind it; and its replies.

#include "relay/rfc1929.h"

#include <QTest>

namespace r = relay::rfc1929;

class tst_Rfc1929 final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void decode_data();
    void decode();
};

void tst_Rfc1929::decode_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QByteArray>("password");
    QTest::addColumn<QByteArray>("after"); // sent behind it
    QTest::addColumn<int>("status"); // of the whole, and of every prefix from `decisive` on
    QTest::addColumn<int>("decisive");
    const int complete = int(r::Status::Complete);
    const QByteArray longest(255, '\xff');
    QTest::newRow("plain") << QByteArray("alice") << QByteArray("s3cret") << QByteArray()
                           << complete << 14;
    QTest::newRow("pipelined request")
        << QByteArray("bob") << QByteArray("pw")
        << QByteArray("\x05\x01\x00\x01\x7f\0\0\1\0\x50", 10) << complete << 8;
    QTest::newRow("255-byte fields") << longest << longest << QByteArray() << complete << 513;
    QTest::newRow("empty fields") << QByteArray() << QByteArray() << QByteArray() << complete << 3;
    QTest::newRow("NUL and line ends kept")
        << QByteArray("a\0b", 3) << QByteArray("\r\n") << QByteArray() << complete << 8;
    QTest::newRow("SOCKS5 version")
        << QByteArray("\x05") << QByteArray() << QByteArray() << int(r::Status::BadVersion) << 1;
    QTest::newRow("version 0") << QByteArray(1, '\0') << QByteArray() << QByteArray()
                               << int(r::Status::BadVersion) << 1;
}

void tst_Rfc1929::decode()
{
    QFETCH(QByteArray, name);
    QFETCH(QByteArray, password);
    QFETCH(QByteArray, after);
    QFETCH(int, status);
    QFETCH(int, decisive);
    const bool bad = status == int(r::Status::BadVersion);
    const QByteArray sent =
        (bad ? name
             : QByteArray(1, '\x01') + char(name.size()) + name + char(password.size()) + password)
        + after;
    for (qsizetype cut = 0; cut <= sent.size(); ++cut) {
        const r::Result result = r::decode(sent.first(cut));
        QCOMPARE(int(result.status), cut < decisive ? int(r::Status::NeedMore) : status);
        const bool whole = cut >= decisive && !bad;
        QCOMPARE(result.consumed, whole ? decisive : 0);
        QCOMPARE(result.name, whole ? name : QByteArray());
        QCOMPARE(result.password, whole ? password : QByteArray());
    }
    QCOMPARE(r::reply(true), QByteArray("\x01\x00", 2));
    QCOMPARE(r::reply(false), QByteArray("\x01\x01", 2));
}

QTEST_GUILESS_MAIN(tst_Rfc1929)
#include "tst_rfc1929.moc"
