// The window with the real port mapper against a real gateway, miniupnpd beside it in the
// namespaces of tests/support/igd-fixture.sh. Skips anywhere else: discovery must not get out.

#include "fakes.h"
#include "portmap/upnpmapper.h"

#include <QNetworkInterface>
#include <QProcess>
#include <QRegularExpression>

using namespace Qt::StringLiterals;

namespace {

constexpr int GatewayWaitMs = 20000; // a discovery takes 2 s; room for a busy machine

/// Whether nothing but loopback and the fixture's lan0 is up, as in its LAN namespace.
bool inFixtureLan()
{
    QStringList up;
    for (const QNetworkInterface &iface : QNetworkInterface::allInterfaces())
        up << (iface.flags() & QNetworkInterface::IsUp ? iface.name() : QString());
    up.removeAll(QString());
    return up == QStringList { u"lo"_s, u"lan0"_s }
    && qEnvironmentVariableIsSet("IGD_FIXTURE_ROOTDESC");
}

/// The gateway's mappings as its own client lists them, like "TCP 2080->192.168.77.2:2080 'x'".
QStringList mappings()
{
    QProcess upnpc;
    upnpc.start(u"upnpc"_s, { u"-u"_s, qEnvironmentVariable("IGD_FIXTURE_ROOTDESC"), u"-l"_s });
    upnpc.waitForFinished();
    static const QRegularExpression row(
        u"^ *\\d+ (\\w+) +(\\S+) +('[^']*')"_s, QRegularExpression::MultilineOption);
    QStringList out;
    for (auto it = row.globalMatch(QString::fromLatin1(upnpc.readAllStandardOutput()));
         it.hasNext();)
        out << it.next().capturedTexts().mid(1).join(u' ');
    return out;
}

} // namespace

class tst_Gateway : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void listenStopAndClose();
};

void tst_Gateway::listenStopAndClose()
{
    if (!inFixtureLan())
        QSKIP("not in the LAN namespace of tests/support/igd-fixture.sh");
    QTcpServer probe; // nothing else runs in this namespace: the port it gets stays free
    QVERIFY(probe.listen(QHostAddress::AnyIPv4, 0));
    const quint16 port = probe.serverPort();
    probe.close();
    const QStringList mapped { u"TCP %1->192.168.77.2:%1 'SOCKS/192.168.77.2'"_s.arg(port) };
    const QString on = u"Listener Listening"_s, off = u"Listener Stopped Listening"_s;
    QStringList lines;
    fakes::Window w;
    w.open(portmap::makeUpnpMapper());
    const auto press = [&](const QStringList &more) {
        w.click(u"cmdListen"_s);
        lines += more;
        QTRY_COMPARE_WITH_TIMEOUT(w.switchLines(), lines, GatewayWaitMs);
    };

    w.setPort(port);
    press({ on, u"UPnP Enabled on %1."_s.arg(port) });
    QCOMPARE(mappings(), mapped);
    w.setPort(port + 1); // Stop removes the mapping made, whatever the port box says now
    press({ off, u"UPnP Disabled on %1."_s.arg(port) });
    QCOMPARE(mappings(), QStringList());

    // A port the gateway refuses: its answer is logged, and Stop has nothing to remove.
    w.setPort(80);
    press({ on, u"UPnP Error: 606 Action not authorized"_s });
    press({ off });
    w.setPort(port);
    press({ on, u"UPnP Enabled on %1."_s.arg(port) });
    QCOMPARE(mappings(), mapped);

    QVERIFY(w.window->close()); // closing removes the mapping still held
    QTRY_COMPARE_WITH_TIMEOUT(mappings(), QStringList(), GatewayWaitMs);

    // No network left: the gateway cannot be found, and the listener works all the same.
    QCOMPARE(QProcess::execute(u"ip"_s, { u"link"_s, u"set"_s, u"lan0"_s, u"down"_s }), 0);
    w.open(portmap::makeUpnpMapper());
    lines.clear();
    press({ on, u"Could not detect UPnP device"_s });
}

QTEST_MAIN(tst_Gateway)
#include "tst_gateway.moc"
