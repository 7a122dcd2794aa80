// The window with the real port mapper, end to end. Run only through CTest: one case runs in the
// LAN namespace of tests/support/igd-fixture.sh (miniupnpd as the gateway), the other in a
// namespace with only loopback. Each case first checks it is in such a namespace and skips
// otherwise, so discovery never reaches a real network.

#include "harness.h"
#include "fakes.h"
#include "portmap/upnpmapper.h"
#include "gatewayprobe.h"

#include <QElapsedTimer>

using namespace Qt::StringLiterals;
using namespace gatewayprobe;

namespace {

// Discovery takes about 2 s per call in these namespaces; leave room for a busy machine.
constexpr int kGatewayWaitMs = 15000;

} // namespace

class tst_frmMainGateway final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void listenStopAndCloseOnRealGateway();
    void relayNeverWaitsForDiscovery();
};

void tst_frmMainGateway::listenStopAndCloseOnRealGateway()
{
    if (!isolated(true))
        QSKIP("not in the LAN namespace of tests/support/igd-fixture.sh");
    fakes::Window w;
    w.open(portmap::makeUpnpMapper());
    const quint16 port = fakes::freePort();
    const QString enabled = u"UPnP Enabled on %1."_s.arg(port);
    const QString disabled = u"UPnP Disabled on %1."_s.arg(port);
    const QString listening = u"Listener Listening"_s;
    const QString stopped = u"Listener Stopped Listening"_s;
    const QString mapped = u"%1:%2 SOCKS/%1"_s.arg(LanAddress).arg(port);
    QCOMPARE(gatewayEntry(port), u"714"_s);
    w.setPort(port);

    // Listen: the listener's line at once, the gateway's when discovery and the call are done.
    QElapsedTimer timer;
    timer.start();
    w.click(u"cmdListen"_s);
    QCOMPARE(w.switchLines(), QStringList { listening });
    QTRY_COMPARE_WITH_TIMEOUT(
        w.switchLines(), (QStringList { listening, enabled }), kGatewayWaitMs);
    qInfo("listen to \"UPnP Enabled\": %lld ms", static_cast<long long>(timer.elapsed()));
    QCOMPARE(gatewayEntry(port), mapped);

    timer.restart();
    w.click(u"cmdListen"_s);
    QCOMPARE(w.switchLines(), (QStringList { listening, enabled, stopped }));
    QTRY_COMPARE_WITH_TIMEOUT(
        w.switchLines(), (QStringList { listening, enabled, stopped, disabled }), kGatewayWaitMs);
    qInfo("stop to \"UPnP Disabled\": %lld ms", static_cast<long long>(timer.elapsed()));
    QCOMPARE(gatewayEntry(port), u"714"_s);

    // Listen again, then close while the mapping is held: closing removes it, within its bound.
    w.click(u"cmdListen"_s);
    QTRY_COMPARE_WITH_TIMEOUT(w.switchLines().size(), 6, kGatewayWaitMs);
    QCOMPARE(w.switchLines().mid(4), (QStringList { listening, enabled }));
    QCOMPARE(gatewayEntry(port), mapped);

    timer.restart();
    QVERIFY(w.window->close());
    const qint64 closeMs = timer.elapsed();
    qInfo("close with a held mapping: %lld ms", static_cast<long long>(closeMs));
    QVERIFY2(closeMs <= ui::frmMain::ShutdownTimeoutMs + 500, qPrintable(QString::number(closeMs)));
    // The removal's line was taken before close returned: no event-loop turn needed.
    QCOMPARE(w.switchLines().mid(6), QStringList { disabled });
    QCOMPARE(gatewayEntry(port), u"714"_s);
}

void tst_frmMainGateway::relayNeverWaitsForDiscovery()
{
    if (!isolated(false))
        QSKIP("an interface other than loopback is up, or loopback is down; run in `unshare -n` "
              "with lo up");
    fakes::Window w;
    w.open(portmap::makeUpnpMapper());
    const quint16 port = fakes::freePort();
    const QString listening = u"Listener Listening"_s;
    const QString stopped = u"Listener Stopped Listening"_s;
    const QString noDevice = u"Could not detect UPnP device"_s;
    w.script->answers = QStringList { u"127.0.0.1"_s };
    w.click(u"cmdAdd"_s);
    w.setPort(port);

    w.click(u"cmdListen"_s);
    QCOMPARE(w.find(u"cmdListen"_s)->text(), u"Stop Listening"_s);
    QCOMPARE(w.lines(), QStringList { listening });

    // Discovery is now waiting for an answer on the port-mapping thread. A client is served
    // through the window's relay meanwhile, both ways.
    harness::Destination destination;
    harness::Client client;
    QVERIFY(client.connectTo(port));
    client.socket.write(harness::request(destination.port()));
    QTRY_COMPARE(client.received, harness::grantFor(destination.port()));
    const QByteArray up = harness::pattern(4096, 1);
    client.socket.write(up);
    QTRY_COMPARE(destination.received.size(), size_t(1));
    QTRY_COMPARE(destination.received.at(0), up);
    const QByteArray down = harness::pattern(4096, 2);
    destination.peers.at(0)->write(down);
    QTRY_COMPARE(client.received, harness::grantFor(destination.port()) + down);

    // All of that happened before the gateway's answer: the relay did not wait for it.
    const QStringList relayed = w.lines();
    QVERIFY2(!relayed.contains(noDevice), qPrintable(relayed.join(u" | ")));
    QCOMPARE(relayed.first(), listening);
    QVERIFY(
        relayed.contains(u"Proxy [0] Request from bob to 127.0.0.1:%1"_s.arg(destination.port())));
    QVERIFY(relayed.contains(u"Outbound [0] Connected"_s));

    QTRY_COMPARE_WITH_TIMEOUT(
        w.switchLines(), (QStringList { listening, noDevice }), kGatewayWaitMs);
    QCOMPARE(w.lines().mid(0, relayed.size()), relayed);
    QCOMPARE(w.lines().size(), relayed.size() + 1); // the gateway's line came last

    // Stop: the listener's line at once, the gateway's after another discovery. Stopping closes
    // only the listener: the client keeps relaying during this discovery too.
    w.click(u"cmdListen"_s);
    QCOMPARE(w.find(u"cmdListen"_s)->text(), u"Listen"_s);
    QCOMPARE(w.lines().last(), stopped);
    const QByteArray again = harness::pattern(1000, 3);
    client.socket.write(again);
    QTRY_COMPARE(destination.received.at(0), up + again);
    QCOMPARE(w.switchLines(), (QStringList { listening, noDevice, stopped }));
    QTRY_COMPARE_WITH_TIMEOUT(
        w.switchLines(), (QStringList { listening, noDevice, stopped, noDevice }), kGatewayWaitMs);
}

QTEST_MAIN(tst_frmMainGateway)
#include "tst_frmmain_gateway.moc"
