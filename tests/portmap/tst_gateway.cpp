// The port mapping with the real mapper against a real gateway: miniupnpd beside it in the
// namespaces of tests/support/igd-fixture.sh. Skips anywhere else: discovery must not get out.

#include "portmap/portmapping.h"
#include "portmap/upnpmapper.h"

#include <QNetworkInterface>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>

using namespace Qt::StringLiterals;

class tst_Gateway : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void mapAndUnmap();
};

void tst_Gateway::mapAndUnmap()
{
    QStringList up; // in the fixture's LAN namespace nothing but loopback and lan0 is up
    for (const QNetworkInterface &iface : QNetworkInterface::allInterfaces())
        up << (iface.flags() & QNetworkInterface::IsUp ? iface.name() : QString());
    up.removeAll(QString());
    if (up != QStringList { u"lo"_s, u"lan0"_s }
        || !qEnvironmentVariableIsSet("IGD_FIXTURE_ROOTDESC"))
        QSKIP("not in the LAN namespace of tests/support/igd-fixture.sh");
    // The gateway's mappings as its own client lists them: "2080->192.168.77.2:2080 'SOCKS/...'".
    const auto mappings = [] {
        QProcess upnpc;
        upnpc.start(u"upnpc"_s, { u"-u"_s, qEnvironmentVariable("IGD_FIXTURE_ROOTDESC"), u"-l"_s });
        upnpc.waitForFinished();
        static const QRegularExpression row(
            u"^ *\\d+ TCP +(\\S+ +'[^']*')"_s, QRegularExpression::MultilineOption);
        QStringList out;
        for (auto it = row.globalMatch(QString::fromLatin1(upnpc.readAllStandardOutput()));
             it.hasNext();)
            out << it.next().captured(1).simplified();
        return out;
    };
    constexpr int WaitMs = 20000; // a discovery takes 2 s; room for a busy machine
    QStringList lines, expected;
    portmap::PortMapping mapping(portmap::makeUpnpMapper());
    QObject::connect(&mapping, &portmap::PortMapping::LogLine, &mapping,
        [&lines](const QString &line) { lines << line; });
    const auto seen = [&](const QStringList &more) {
        expected += more;
        QTRY_COMPARE_WITH_TIMEOUT(lines, expected, WaitMs);
    };
    mapping.AddUPnP(2080); // no socket is bound: in this namespace no port is taken
    seen({ u"UPnP Enabled on 2080."_s });
    QCOMPARE(mappings(), QStringList { u"2080->192.168.77.2:2080 'SOCKS/192.168.77.2'"_s });
    mapping.RemoveUPnP();
    seen({ u"UPnP Disabled on 2080."_s });
    QCOMPARE(mappings(), QStringList());
    // A port the gateway refuses: its code and its words are logged.
    mapping.AddUPnP(80);
    seen({ u"UPnP Error: 606 Action not authorized"_s });
    QVERIFY(mapping.shutdown(WaitMs));
}

QTEST_GUILESS_MAIN(tst_Gateway)
#include "tst_gateway.moc"
