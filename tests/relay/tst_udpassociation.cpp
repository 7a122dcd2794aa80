#include "relay/udpassociation.h"

#include <QTest>

#include <map>

using relay::UdpAssociation;
using namespace Qt::StringLiterals;
using Verdict = UdpAssociation::Verdict;
using namespace std::chrono_literals;
Q_DECLARE_METATYPE(UdpAssociation::Verdict)

namespace {

QByteArray to(const char *hexAddress, quint16 port, const QByteArray &payload)
{
    const QByteArray address = QByteArray::fromHex(hexAddress);
    const char type = address.size() == 4 ? 1 : address.size() == 16 ? 4 : 3;
    return QByteArray::fromHex("000000") + type
        + (type == 3 ? char(address.size()) + address : address) + char(port >> 8) + char(port)
        + payload;
}
QByteArray toName(const QByteArray &name, quint16 port, const QByteArray &payload)
{
    return QByteArray::fromHex("00000003") + char(name.size()) + name + char(port >> 8) + char(port)
        + payload;
}

/// The association's world: what it sent, the look-ups it asked for, a clock and a guard.
struct World
{
    struct Sent
    {
        QHostAddress to;
        quint16 port;
        QByteArray bytes;
    };
    std::vector<Sent> up, down;
    std::map<QByteArray, std::vector<UdpAssociation::Resolved>> lookups;
    UdpAssociation::Clock::time_point now {};
    QHostAddress refused;

    UdpAssociation::Services services()
    {
        return {
            [this](const QHostAddress &a, quint16 p, QByteArrayView b) {
                up.push_back({ a, p, b.toByteArray() });
                return true;
            },
            [this](const QHostAddress &a, quint16 p, QByteArrayView b) {
                down.push_back({ a, p, b.toByteArray() });
                return true;
            },
            [this](const QByteArray &name, UdpAssociation::Resolved answer) {
                lookups[name].push_back(std::move(answer));
            },
            [this](const QHostAddress &a, quint16) { return a != refused; },
            [this] { return now; },
        };
    }
    void answer(const QByteArray &name, const QList<QHostAddress> &addresses)
    {
        for (const auto &a : std::exchange(lookups[name], {}))
            a(addresses);
    }
};

const QHostAddress Client(u"127.0.0.1"_s);

} // namespace

class tst_UdpAssociation : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void clientPort_data()
    {
        QTest::addColumn<QString>("hint"); // an address, or a name after "name:"
        QTest::addColumn<int>("port");
        QTest::addColumn<int>("clientPort");
        QTest::newRow("0.0.0.0:0") << u"0.0.0.0"_s << 0 << 0;
        QTest::newRow("0.0.0.0 with a port") << u"0.0.0.0"_s << 5000 << 5000;
        QTest::newRow("::") << u"::"_s << 5000 << 5000;
        QTest::newRow("the name 0") << u"name:0"_s << 5000 << 5000;
        QTest::newRow("the client") << u"127.0.0.1"_s << 5000 << 5000;
        QTest::newRow("the client, mapped") << u"::ffff:127.0.0.1"_s << 5000 << 5000;
        QTest::newRow("another address") << u"10.1.1.1"_s << 5000 << 0;
        QTest::newRow("another name") << u"name:localhost"_s << 5000 << 0;
    }
    void clientPort()
    {
        QFETCH(QString, hint);
        QFETCH(int, port);
        QFETCH(int, clientPort);
        relay::Destination d;
        if (hint.startsWith(u"name:"_s))
            d.hostName = hint.mid(5).toLatin1();
        else
            d.address = QHostAddress(hint);
        d.port = quint16(port);
        QCOMPARE(UdpAssociation::clientPortFrom(d, Client), clientPort);
    }

    void fromClient_data()
    {
        QTest::addColumn<QHostAddress>("source");
        QTest::addColumn<int>("sourcePort");
        QTest::addColumn<QByteArray>("datagram");
        QTest::addColumn<Verdict>("verdict");
        QTest::addColumn<QString>("sentTo"); // address the payload went to
        const QByteArray good = to("7F000002 ", 7, "ping");
        QTest::newRow("IPv4") << Client << 5000 << good << Verdict::Sent << "127.0.0.2";
        QTest::newRow("from the client, mapped")
            << QHostAddress(u"::ffff:127.0.0.1"_s) << 5000 << good << Verdict::Sent << "127.0.0.2";
        QTest::newRow("IPv6") << Client << 5000 << to("00000000000000000000000000000001", 7, "")
                              << Verdict::Sent << "::1";
        QTest::newRow("to an IPv4-mapped address, as IPv4")
            << Client << 5000 << to("00000000000000000000FFFF7F000002", 7, "") << Verdict::Sent
            << "127.0.0.2";
        QTest::newRow("another port") << Client << 5001 << good << Verdict::Foreign << "";
        QTest::newRow("another address")
            << QHostAddress(u"127.0.0.3"_s) << 5000 << good << Verdict::Foreign << "";
        QTest::newRow("fragment") << Client << 5000 << QByteArray::fromHex("0000010100")
                                  << Verdict::BadHeader << "";
        QTest::newRow("guard refuses")
            << Client << 5000 << to("0A000009", 7, "x") << Verdict::Refused << "";
        QTest::newRow("port 0") << Client << 5000 << to("7F000002", 0, "x") << Verdict::NotSent
                                << "";
    }
    void fromClient()
    {
        QFETCH(QHostAddress, source);
        QFETCH(int, sourcePort);
        QFETCH(QByteArray, datagram);
        QFETCH(Verdict, verdict);
        QFETCH(QString, sentTo);
        World w;
        w.refused = QHostAddress(u"10.0.0.9"_s);
        UdpAssociation a(Client, 5000, w.services());
        QCOMPARE(a.fromClient(source, quint16(sourcePort), datagram).verdict, verdict);
        QCOMPARE(w.up.size(), size_t(!sentTo.isEmpty()));
        if (!sentTo.isEmpty()) {
            QCOMPARE(w.up[0].to, QHostAddress(sentTo));
            QCOMPARE(w.up[0].to.protocol(), QHostAddress(sentTo).protocol());
            QCOMPARE(w.up[0].port, 7);
        }
    }

    void pinnedByTheFirstDatagram()
    {
        World w;
        UdpAssociation a(Client, 0, w.services());
        QVERIFY(!a.fromDestination(QHostAddress(u"127.0.0.2"_s), 7, "early")); // nowhere to go yet
        QCOMPARE(a.fromClient(Client, 4000, "junk").verdict, Verdict::BadHeader); // pins nothing
        QCOMPARE(a.fromClient(Client, 4001, to("7F000002", 7, "a")).verdict, Verdict::Sent);
        QCOMPARE(a.clientPort(), 4001);
        QCOMPARE(a.fromClient(Client, 4000, to("7F000002", 7, "b")).verdict, Verdict::Foreign);
        // An answer from another source port is named by its own source.
        QVERIFY(a.fromDestination(QHostAddress(u"127.0.0.2"_s), 8, "pong"));
        QCOMPARE(w.down.size(), 1u);
        QCOMPARE(w.down[0].to, Client);
        QCOMPARE(w.down[0].port, 4001);
        QCOMPARE(w.down[0].bytes, to("7F000002", 8, "pong"));
        const auto &c = a.counters();
        QCOMPARE(QList<qint64>({ c.datagramsUp, c.bytesUp, c.datagramsDown, c.bytesDown }),
            QList<qint64>({ 1, 1, 1, 4 }));
    }

    void namesResolvedOnceAndKept()
    {
        World w;
        UdpAssociation a(Client, 5000, w.services());
        QCOMPARE(a.fromClient(Client, 5000, toName("echo.test", 7, "1")).verdict, Verdict::Queued);
        QCOMPARE(a.fromClient(Client, 5000, toName("echo.test", 8, "2")).verdict, Verdict::Queued);
        QCOMPARE(a.fromClient(Client, 5000, toName("gone.test", 7, "3")).verdict, Verdict::Queued);
        QCOMPARE(w.lookups["echo.test"].size(), 1u);
        w.answer("echo.test", { QHostAddress(u"::ffff:127.0.0.2"_s), QHostAddress(u"::1"_s) });
        QCOMPARE(w.up.size(), 2u);
        QCOMPARE(w.up[1].to, QHostAddress(u"127.0.0.2"_s)); // the first address, plain
        QCOMPARE(w.up[1].port, 8);
        QCOMPARE(a.fromClient(Client, 5000, toName("echo.test", 7, "4")).verdict, Verdict::Sent);
        w.answer("gone.test", {});
        QCOMPARE(w.up.size(), 3u); // the queued datagram for the bad name is dropped
        QCOMPARE(
            a.fromClient(Client, 5000, toName("gone.test", 7, "5")).verdict, Verdict::Unresolved);
        QVERIFY(w.lookups["gone.test"].empty()); // the failure is kept too
        w.refused = QHostAddress(u"127.0.0.2"_s);
        QCOMPARE(a.fromClient(Client, 5000, toName("echo.test", 7, "6")).verdict, Verdict::Refused);
    }

    void lookupsAndQueueBounded()
    {
        World w;
        auto a = std::make_unique<UdpAssociation>(Client, 5000, w.services());
        for (int i = 0; i < UdpAssociation::MaxLookups; ++i)
            QCOMPARE(
                a->fromClient(Client, 5000, toName("n" + QByteArray::number(i), 7, "")).verdict,
                Verdict::Queued);
        QCOMPARE(a->fromClient(Client, 5000, toName("one more", 7, "")).verdict, Verdict::Busy);
        const QByteArray big(UdpAssociation::MaxQueuedBytes / 2 + 1, 'b');
        QCOMPARE(a->fromClient(Client, 5000, toName("n0", 7, big)).verdict, Verdict::Queued);
        QCOMPARE(a->fromClient(Client, 5000, toName("n0", 7, big)).verdict, Verdict::Busy);
        a.reset(); // an answer after the association has gone is dropped
        w.answer("n0", { QHostAddress(u"127.0.0.2"_s) });
        QVERIFY(w.up.empty());
    }

    void expiresAfterTwoIdleMinutes()
    {
        World w;
        UdpAssociation a(Client, 5000, w.services());
        w.now += 119s;
        QVERIFY(!a.isExpired());
        a.fromClient(QHostAddress(u"127.0.0.3"_s), 5000, to("7F000002", 7, "")); // a stranger's
        QCOMPARE(a.fromClient(Client, 5000, to("7F000002", 7, "")).verdict, Verdict::Sent);
        w.now += 119s;
        QVERIFY(!a.isExpired());
        QVERIFY(a.fromDestination(QHostAddress(u"127.0.0.2"_s), 7, "")); // answers count too
        w.now += 120s;
        QVERIFY(a.isExpired());
        QCOMPARE(a.deadline(), w.now);
    }
};

QTEST_GUILESS_MAIN(tst_UdpAssociation)
#include "tst_udpassociation.moc"
