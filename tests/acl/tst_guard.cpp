// The guard's rule on resolved addresses, with this computer's addresses given.

#include "acl/guard.h"

#include <QTest>

using namespace Qt::StringLiterals;

class tst_Guard final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void rule_data();
    void rule();
};

void tst_Guard::rule_data()
{
    // "client destination port": a = Allowed, h = ThisComputer, p = ProxyItself (port 1080),
    // first with the option off, then on.
    QTest::addColumn<QString>("row");
    QTest::addColumn<QString>("verdicts");
    for (const char *to :
        { "127.0.0.1", "127.200.3.4", "::1", "::ffff:127.0.0.1", "0.0.0.0", "::", "::ffff:0.0.0.0",
            "192.168.1.10", "::ffff:192.168.1.10", "fe80::1", "fe80::1%wlan0", "2001:db8::10" }) {
        QTest::addRow("away to %s", to)
            << u"203.0.113.7 %1 22"_s.arg(QLatin1StringView(to)) << u"ha"_s;
        QTest::addRow("away to %s, own port", to)
            << u"203.0.113.7 %1 1080"_s.arg(QLatin1StringView(to)) << u"pp"_s;
    }
    const std::pair<const char *, const char *> rows[] = { { "203.0.113.7 192.168.1.11 22", "aa" },
        { "203.0.113.7 198.51.100.1 1080", "aa" }, { "203.0.113.7 128.0.0.1 22", "aa" },
        { "2001:db8::99 2001:db8::11 22", "aa" }, { "127.0.0.1 127.0.0.1 5432", "aa" },
        { "::ffff:127.0.0.1 ::1 5432", "aa" }, { "192.168.1.10 127.0.0.1 5432", "aa" },
        { "fe80::1%eth1 ::1 80", "aa" }, { "127.0.0.1 127.0.0.1 1080", "pp" },
        { "192.168.1.10 ::ffff:192.168.1.10 1080", "pp" } };
    for (const auto &[row, verdicts] : rows)
        QTest::newRow(row) << QString::fromLatin1(row) << QString::fromLatin1(verdicts);
}

void tst_Guard::rule()
{
    QFETCH(QString, row);
    QFETCH(QString, verdicts);
    const QList<QHostAddress> local { QHostAddress(u"192.168.1.10"_s),
        QHostAddress(u"fe80::1%eth0"_s), QHostAddress(u"2001:db8::10"_s) };
    const QStringList f = row.split(u' ');
    for (const bool option : { false, true }) {
        const acl::GuardVerdict v = acl::guardVerdict(
            QHostAddress(f[0]), QHostAddress(f[1]), quint16(f[2].toUInt()), 1080, local, option);
        QCOMPARE(QChar(u"ahp"[int(v)]), verdicts[option]);
    }
}

QTEST_GUILESS_MAIN(tst_Guard)
#include "tst_guard.moc"
