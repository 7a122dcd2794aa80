// The username/password decoder, fed as the relay feeds it: split at every byte, with the SOCKS5
// request right behind it. (A wrong version and the replies: tst_access, through the handshake.)

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
    QTest::addColumn<int>("decisive"); // complete from this many bytes on
    const auto row = [](const char *tag, const QByteArray &name, const QByteArray &password,
                         const QByteArray &after, int decisive) {
        QTest::newRow(tag) << name << password << after << decisive;
    };
    const QByteArray longest(255, '\xff');
    row("pipelined request", "bob", "pw", QByteArray("\x05\x01\x00\x01\x7f\0\0\1\0\x50", 10), 8);
    row("255-byte fields", longest, longest, {}, 513);
    row("empty fields", {}, {}, {}, 3);
    row("NUL and line ends kept", QByteArray("a\0b", 3), "\r\n", {}, 8);
}

void tst_Rfc1929::decode()
{
    QFETCH(QByteArray, name);
    QFETCH(QByteArray, password);
    QFETCH(QByteArray, after);
    QFETCH(int, decisive);
    const QByteArray sent =
        QByteArray(1, '\x01') + char(name.size()) + name + char(password.size()) + password + after;
    for (qsizetype cut = 0; cut <= sent.size(); ++cut) {
        const r::Result result = r::decode(sent.first(cut));
        const bool whole = cut >= decisive;
        QCOMPARE(result.status, whole ? r::Status::Complete : r::Status::NeedMore);
        QCOMPARE(result.consumed, whole ? decisive : 0);
        QCOMPARE(result.name, whole ? name : QByteArray());
        QCOMPARE(result.password, whole ? password : QByteArray());
    }
}

QTEST_GUILESS_MAIN(tst_Rfc1929)
#include "tst_rfc1929.moc"
