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
    const auto row = [](const char *tag, const QByteArray &name, const QByteArray &password,
                         const QByteArray &after, r::Status status, int decisive) {
        QTest::newRow(tag) << name << password << after << int(status) << decisive;
    };
    const auto ok = r::Status::Complete, bad = r::Status::BadVersion;
    const QByteArray longest(255, '\xff');
    row("plain", "alice", "s3cret", {}, ok, 14);
    row("pipelined request", "bob", "pw", QByteArray("\x05\x01\x00\x01\x7f\0\0\1\0\x50", 10), ok,
        8);
    row("255-byte fields", longest, longest, {}, ok, 513);
    row("empty fields", {}, {}, {}, ok, 3);
    row("NUL and line ends kept", QByteArray("a\0b", 3), "\r\n", {}, ok, 8);
    row("SOCKS5 version", "\x05", {}, {}, bad, 1); // the name column holds what is sent
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
