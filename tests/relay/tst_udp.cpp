// A UDP association's rules that the wire does not show: the port pinned by the first datagram,
// names looked up once and kept, and the bounds on lookups and queued bytes. (The header codec:
// fuzz_udp over its corpus; the rest end to end in tst_udpproxy.)

#include "relay/udpassociation.h"

#include <QTest>

#include <map>

using namespace Qt::StringLiterals;
using relay::UdpAssociation;
using V = UdpAssociation::Verdict;

namespace {
const QHostAddress Client(u"127.0.0.1"_s), Echo(u"127.0.0.2"_s);
QByteArray to(const QByteArray &hexOrName, quint16 port, const QByteArray &payload = {})
{
    const QByteArray ip = QByteArray::fromHex(hexOrName);
    const char type = ip.size() == 4 ? 1 : ip.size() == 16 ? 4 : 3;
    return QByteArray::fromHex("000000") + type
        + (type == 3 ? char(hexOrName.size()) + hexOrName : ip) + char(port >> 8) + char(port)
        + payload;
}
/// The association's world: what it sent and looked up, and a clock.
struct World
{
    QList<std::tuple<QHostAddress, quint16, QByteArray>> up, down;
    std::map<QByteArray, std::vector<UdpAssociation::Resolved>> lookups;
    UdpAssociation::Clock::time_point now {};
    std::unique_ptr<UdpAssociation> make(quint16 clientPort = 5000)
    {
        const auto record = [](auto &into) {
            return [&into](const QHostAddress &a, quint16 p, QByteArrayView b) {
                return into.append({ a, p, b.toByteArray() }), true;
            };
        };
        return std::make_unique<UdpAssociation>(Client, clientPort,
            UdpAssociation::Services { record(up), record(down),
                [this](const QByteArray &name, auto answer) { lookups[name].push_back(answer); },
                [](const QHostAddress &, quint16) { return true; }, [this] { return now; } });
    }
    void answer(const QByteArray &name, const QList<QHostAddress> &addresses)
    {
        for (const auto &a : std::exchange(lookups[name], {}))
            a(addresses);
    }
};
} // namespace

class tst_Udp : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void clientPortPinned()
    {
        // DST another address than the client's (behind a NAT) names no port (the rest: end to end).
        QCOMPARE(UdpAssociation::clientPortFrom({ QHostAddress(u"10.1.1.1"_s), {}, 1 }, Client), 0);
        World w;
        const auto a = w.make(0); // pinned by the first good datagram
        QVERIFY(!a->fromDestination(Echo, 7, "early")); // nowhere to go yet
        QCOMPARE(a->fromClient(Client, 4000, "junk").verdict, V::BadHeader);
        QCOMPARE(a->fromClient(Client, 4001, to("7F000002", 7, "a")).verdict, V::Sent);
        QCOMPARE(a->fromClient(Client, 4000, to("7F000002", 7, "b")).verdict, V::Foreign);
        QVERIFY(a->fromDestination(Echo, 8, "pong"));
        QCOMPARE(w.down, decltype(w.down)({ { Client, 4001, to("7F000002", 8, "pong") } }));
    }

    void namesLookedUpOnceKeptAndBounded()
    {
        World w;
        auto a = w.make();
        for (const char *name : { "echo.test", "echo.test", "gone.test" })
            QCOMPARE(a->fromClient(Client, 5000, to(name, 7, "q")).verdict, V::Queued);
        QCOMPARE(w.lookups["echo.test"].size(), 1u);
        w.answer("echo.test", { QHostAddress(u"::ffff:127.0.0.2"_s), QHostAddress(u"::1"_s) });
        w.answer("gone.test", {}); // its datagram is dropped
        QCOMPARE(a->fromClient(Client, 5000, to("echo.test", 8)).verdict, V::Sent);
        QCOMPARE(w.up.size(), 3);
        QCOMPARE(std::get<0>(w.up[2]), Echo); // the first address, as IPv4
        QCOMPARE(a->fromClient(Client, 5000, to("gone.test", 7)).verdict, V::Unresolved);
        QVERIFY(w.lookups["gone.test"].empty()); // kept too
        for (int i = 0; i < UdpAssociation::MaxLookups; ++i)
            a->fromClient(Client, 5000, to("n" + QByteArray::number(i), 7));
        QCOMPARE(a->fromClient(Client, 5000, to("one more", 7)).verdict, V::Busy);
        const QByteArray half(UdpAssociation::MaxQueuedBytes / 2 + 1, 'b');
        QCOMPARE(a->fromClient(Client, 5000, to("n1", 7, half)).verdict, V::Queued);
        QCOMPARE(a->fromClient(Client, 5000, to("n1", 7, half)).verdict, V::Busy);
        a.reset(); // an answer after the association has gone is dropped
        w.answer("n1", { Echo });
        QCOMPARE(w.up.size(), 3);
    }
};

QTEST_GUILESS_MAIN(tst_Udp)
#include "tst_udp.moc"
