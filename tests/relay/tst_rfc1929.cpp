// The username/password sub-negotiation's decoder, fed as the relay feeds it: whole, split at
// every byte, with the SOCKS5 request right behind it.

#include "relay/rfc1929.h"

#include <QTest>

using namespace relay;
using Status = rfc1929::Status;

namespace {
QByteArray login(const QByteArray &name, const QByteArray &password, char version = 1)
{
    return QByteArray(1, version) + char(name.size()) + name + char(password.size()) + password;
}
} // namespace

class tst_Rfc1929 final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void decode_data();
    void decode();
    void reply();
};

void tst_Rfc1929::decode_data()
{
    QTest::addColumn<QByteArray>("sent");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QByteArray>("password");
    QTest::addColumn<int>("consumed");

    const QByteArray request("\x05\x01\x00\x01\x7f\x00\x00\x01\x00\x50", 10);
    QTest::newRow("plain") << login("alice", "s3cret") << int(Status::Complete)
                           << QByteArray("alice") << QByteArray("s3cret") << 14;
    QTest::newRow("pipelined request") << login("bob", "pw") + request << int(Status::Complete)
                                       << QByteArray("bob") << QByteArray("pw") << 8;
    const QByteArray longest(255, '\xff');
    QTest::newRow("255-byte fields")
        << login(longest, longest) << int(Status::Complete) << longest << longest << 513;
    QTest::newRow("empty fields") << login({}, {}) << int(Status::Complete) << QByteArray()
                                  << QByteArray() << 3;
    QTest::newRow("NUL and line ends kept")
        << login(QByteArray("a\0b", 3), "\r\n") << int(Status::Complete) << QByteArray("a\0b", 3)
        << QByteArray("\r\n") << 8;
    QTest::newRow("SOCKS5 version")
        << login("a", "b", 5) << int(Status::BadVersion) << QByteArray() << QByteArray() << 0;
    QTest::newRow("version 0") << QByteArray(1, '\0') << int(Status::BadVersion) << QByteArray()
                               << QByteArray() << 0;
    QTest::newRow("password cut") << login("alice", "s3cret").chopped(1) << int(Status::NeedMore)
                                  << QByteArray() << QByteArray() << 0;
}

void tst_Rfc1929::decode()
{
    QFETCH(QByteArray, sent);
    QFETCH(int, status);
    QFETCH(QByteArray, name);
    QFETCH(QByteArray, password);
    QFETCH(int, consumed);
    // Split anywhere: every prefix before the verdict's byte needs more; from it on the verdict
    // stands, whatever follows.
    const qsizetype decisive = status == int(Status::BadVersion) ? 1
        : status == int(Status::Complete)                        ? consumed
                                                                 : sent.size() + 1;
    for (qsizetype cut = 0; cut <= sent.size(); ++cut) {
        const rfc1929::Result r = rfc1929::decode(sent.first(cut));
        if (cut < decisive) {
            QCOMPARE(int(r.status), int(Status::NeedMore));
            QCOMPARE(r.consumed, 0);
            continue;
        }
        QCOMPARE(int(r.status), status);
        QCOMPARE(r.name, name);
        QCOMPARE(r.password, password);
        QCOMPARE(r.consumed, consumed);
    }
}

void tst_Rfc1929::reply()
{
    QCOMPARE(rfc1929::reply(true), QByteArray("\x01\x00", 2));
    QCOMPARE(rfc1929::reply(false), QByteArray("\x01\x01", 2));
}

QTEST_GUILESS_MAIN(tst_Rfc1929)
#include "tst_rfc1929.moc"
