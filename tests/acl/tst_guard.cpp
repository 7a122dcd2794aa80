// The guard's rule on resolved addresses, with this computer's addresses given, and the refresh
// of those addresses.

#include "acl/guard.h"

#include <QTest>

using namespace Qt::StringLiterals;
using acl::GuardVerdict;

namespace {
const QList<QHostAddress> Local { QHostAddress(u"192.168.1.10"_s), QHostAddress(u"fe80::1%eth0"_s),
    QHostAddress(u"2001:db8::10"_s) };
constexpr quint16 ListenPort = 1080;
} // namespace

class tst_Guard final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void rule_data();
    void rule();
    void localAddressesRefresh();
};

void tst_Guard::rule_data()
{
    QTest::addColumn<QString>("client");
    QTest::addColumn<QString>("destination");
    QTest::addColumn<int>("port");
    QTest::addColumn<bool>("reachLocal");
    QTest::addColumn<int>("verdict");
    const int allowed = int(GuardVerdict::Allowed), local = int(GuardVerdict::ThisComputer),
              loop = int(GuardVerdict::ProxyItself);
    const QString away = u"203.0.113.7"_s;
    const QStringList thisComputer { u"127.0.0.1"_s, u"127.200.3.4"_s, u"::1"_s,
        u"::ffff:127.0.0.1"_s, u"0.0.0.0"_s, u"::"_s, u"::ffff:0.0.0.0"_s, u"192.168.1.10"_s,
        u"::ffff:192.168.1.10"_s, u"fe80::1"_s, u"fe80::1%wlan0"_s, u"2001:db8::10"_s };
    for (const QString &to : thisComputer) {
        QTest::addRow("away to %s", qPrintable(to)) << away << to << 22 << false << local;
        QTest::addRow("away to %s, option on", qPrintable(to))
            << away << to << 22 << true << allowed;
        QTest::addRow("away to %s, own port", qPrintable(to))
            << away << to << int(ListenPort) << true << loop;
    }
    QTest::newRow("away to a neighbour") << away << u"192.168.1.11"_s << 22 << false << allowed;
    QTest::newRow("away to the Internet, own port number")
        << away << u"198.51.100.1"_s << int(ListenPort) << false << allowed;
    QTest::newRow("away, 128.0.0.1") << away << u"128.0.0.1"_s << 22 << false << allowed;
    QTest::newRow("away, IPv6 neighbour")
        << u"2001:db8::99"_s << u"2001:db8::11"_s << 22 << false << allowed;
    QTest::newRow("loopback client to loopback")
        << u"127.0.0.1"_s << u"127.0.0.1"_s << 5432 << false << allowed;
    QTest::newRow("mapped loopback client")
        << u"::ffff:127.0.0.1"_s << u"::1"_s << 5432 << false << allowed;
    QTest::newRow("interface client to loopback")
        << u"192.168.1.10"_s << u"127.0.0.1"_s << 5432 << false << allowed;
    QTest::newRow("link-local client, other scope")
        << u"fe80::1%eth1"_s << u"::1"_s << 80 << false << allowed;
    QTest::newRow("loopback client to the proxy")
        << u"127.0.0.1"_s << u"127.0.0.1"_s << int(ListenPort) << false << loop;
    QTest::newRow("interface client to the proxy")
        << u"192.168.1.10"_s << u"::ffff:192.168.1.10"_s << int(ListenPort) << false << loop;
}

void tst_Guard::rule()
{
    QFETCH(QString, client);
    QFETCH(QString, destination);
    QFETCH(int, port);
    QFETCH(bool, reachLocal);
    QFETCH(int, verdict);
    QCOMPARE(int(acl::guardVerdict(QHostAddress(client), QHostAddress(destination), quint16(port),
                 ListenPort, Local, reachLocal)),
        verdict);
}

void tst_Guard::localAddressesRefresh()
{
    QList<QHostAddress> addresses { QHostAddress(u"10.0.0.1"_s) };
    int reads = 0;
    acl::Guard::Clock::time_point now {};
    acl::Guard guard(
        [&] {
            ++reads;
            return addresses;
        },
        [&] { return now; });
    const QHostAddress away(u"203.0.113.7"_s), moved(u"10.0.0.2"_s);
    QVERIFY(!guard.allows(away, QHostAddress(u"10.0.0.1"_s), 80, 1080));
    QVERIFY(guard.allows(away, moved, 80, 1080));
    QCOMPARE(reads, 1); // read once, then kept
    addresses = { moved };
    now += acl::Guard::RefreshInterval;
    QVERIFY(!guard.allows(away, moved, 80, 1080)); // read again when old
    addresses = { QHostAddress(u"10.0.0.3"_s) };
    guard.refresh(); // or on demand
    QVERIFY(guard.allows(away, moved, 80, 1080));
    guard.setReachLocalServices(true);
    QVERIFY(guard.allows(away, QHostAddress(u"10.0.0.3"_s), 80, 1080));
    QVERIFY(!guard.allows(away, QHostAddress(u"10.0.0.3"_s), 1080, 1080));
    QCOMPARE(reads, 3);
}

QTEST_GUILESS_MAIN(tst_Guard)
#include "tst_guard.moc"
