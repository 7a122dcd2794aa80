// The window with the real port mapper, end to end. Run only through CTest: one case runs in the
// LAN namespace of tests/portmap/igd-fixture.sh (miniupnpd as the gateway), the other in a
// namespace with only loopback. Each case first checks it is in such a namespace and skips
// otherwise, so discovery never reaches a real network.

#include "../relay/harness.h"
#include "fakes.h"
#include "portmap/portmapping.h"
#include "ui/frmmain.h"
#include "ui/statuslog.h"

#include <QElapsedTimer>
#include <QLineEdit>
#include <QNetworkInterface>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <miniupnpc/miniupnpc.h>
#include <miniupnpc/upnpcommands.h>

using namespace Qt::StringLiterals;

namespace {

const QString kLanAddress = u"192.168.77.2"_s;
// miniupnpd's answer for a port it holds no mapping for.
constexpr int kNoSuchEntry = 714;
// Discovery takes about 2 s per call in these namespaces; leave room for a busy machine.
constexpr int kGatewayWaitMs = 15000;

QByteArray rootDescUrl()
{
    return qgetenv("IGD_FIXTURE_ROOTDESC");
}

/// True in the fixture's LAN namespace: the only interface up besides loopback is lan0 with
/// the fixture's address, so SSDP can only reach the fixture's gateway.
bool inFixtureLan()
{
    if (rootDescUrl().isEmpty())
        return false;
    bool lan = false;
    for (const QNetworkInterface &iface : QNetworkInterface::allInterfaces()) {
        const auto flags = iface.flags();
        if (!flags.testFlag(QNetworkInterface::IsUp)
            || flags.testFlag(QNetworkInterface::IsLoopBack))
            continue;
        if (iface.name() != u"lan0"_s)
            return false;
        for (const QNetworkAddressEntry &entry : iface.addressEntries())
            lan = lan || entry.ip().toString() == kLanAddress;
    }
    return lan;
}

/// True where no interface but loopback is up, and loopback is (`unshare -n`, then lo up).
bool onlyLoopbackUp()
{
    bool loopbackUp = false;
    for (const QNetworkInterface &iface : QNetworkInterface::allInterfaces()) {
        const auto flags = iface.flags();
        if (!flags.testFlag(QNetworkInterface::IsUp))
            continue;
        if (!flags.testFlag(QNetworkInterface::IsLoopBack))
            return false;
        loopbackUp = true;
    }
    return loopbackUp;
}

/// What the gateway itself holds for a TCP port, asked over SOAP at its known address.
struct Entry
{
    int result = -1; ///< 0 found, 714 no such mapping, -1 gateway not reached
    QString client;
    QString internalPort;
    QString description;
};

Entry gatewayEntry(quint16 port)
{
    Entry entry;
    UPNPUrls urls {};
    IGDdatas data {};
    char lanaddr[64] = {};
    if (UPNP_GetIGDFromUrl(rootDescUrl().constData(), &urls, &data, lanaddr, sizeof lanaddr) != 1)
        return entry;
    char client[16] = {}, internalPort[6] = {}, description[80] = {}, enabled[4] = {},
         lease[16] = {};
    const QByteArray portText = QByteArray::number(port);
    entry.result = UPNP_GetSpecificPortMappingEntry(urls.controlURL, data.first.servicetype,
        portText.constData(), "TCP", nullptr, client, internalPort, description, enabled, lease);
    entry.client = QString::fromLatin1(client);
    entry.internalPort = QString::fromLatin1(internalPort);
    entry.description = QString::fromLatin1(description);
    FreeUPNPUrls(&urls);
    return entry;
}

/// A free port: in the ephemeral range, so inside the gateway's allowed 1024-65535.
quint16 freePort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::AnyIPv4, 0))
        qFatal("cannot bind a probe port");
    return probe.serverPort();
}

/// The window as the program builds it, with the real mapper; only IPs.txt (a temporary
/// directory), the dialogs (scripted) and the log's mirror (captured) are replaced.
struct Window
{
    QTemporaryDir dir;
    std::shared_ptr<fakes::Dialogs::Script> script = std::make_shared<fakes::Dialogs::Script>();
    QByteArray mirror;
    std::unique_ptr<ui::frmMain> window;

    Window()
    {
        ui::Environment env;
        env.appDir = dir.path();
        env.mapper = portmap::makeUpnpMapper();
        env.dialogs = std::make_unique<fakes::Dialogs>(script);
        env.trayAvailable = [] { return true; };
        env.output = [this](const QByteArray &chunk) { mirror += chunk; };
        window = std::make_unique<ui::frmMain>(std::move(env));
    }
    QPushButton *button(const QString &name) const
    {
        auto *b = window->findChild<QPushButton *>(name);
        if (!b)
            qFatal("no button %s", qPrintable(name));
        return b;
    }
    void click(const QString &name) const { QTest::mouseClick(button(name), Qt::LeftButton); }
    void setPort(quint16 port) const
    {
        window->findChild<QLineEdit *>(u"txtPort"_s)->setText(QString::number(port));
    }
    const QList<QString> &lines() const { return window->statusLog().lines(); }
    /// The listener's and the gateway's lines, in order.
    QStringList switchLines() const
    {
        QStringList out;
        for (const QString &line : lines()) {
            if (line.startsWith(u"Listener") || line.startsWith(u"UPnP")
                || line.startsWith(u"Could not detect"))
                out.append(line);
        }
        return out;
    }
};

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
    if (!inFixtureLan())
        QSKIP("not in the LAN namespace of tests/portmap/igd-fixture.sh");
    Window w;
    const quint16 port = freePort();
    const QString enabled = u"UPnP Enabled on %1."_s.arg(port);
    const QString disabled = u"UPnP Disabled on %1."_s.arg(port);
    const QString listening = u"Listener Listening"_s;
    const QString stopped = u"Listener Stopped Listening"_s;
    QCOMPARE(gatewayEntry(port).result, kNoSuchEntry);
    w.setPort(port);

    // Listen: the listener's line at once, the gateway's when discovery and the call are done.
    QElapsedTimer timer;
    timer.start();
    w.click(u"cmdListen"_s);
    QCOMPARE(w.switchLines(), QStringList { listening });
    QTRY_COMPARE_WITH_TIMEOUT(
        w.switchLines(), (QStringList { listening, enabled }), kGatewayWaitMs);
    qInfo("listen to \"UPnP Enabled\": %lld ms", static_cast<long long>(timer.elapsed()));
    const Entry entry = gatewayEntry(port);
    QCOMPARE(entry.result, 0);
    QCOMPARE(entry.client, kLanAddress);
    QCOMPARE(entry.internalPort, QString::number(port));
    QCOMPARE(entry.description, u"SOCKS/192.168.77.2"_s);

    // Stop removes it.
    timer.restart();
    w.click(u"cmdListen"_s);
    QCOMPARE(w.switchLines(), (QStringList { listening, enabled, stopped }));
    QTRY_COMPARE_WITH_TIMEOUT(
        w.switchLines(), (QStringList { listening, enabled, stopped, disabled }), kGatewayWaitMs);
    qInfo("stop to \"UPnP Disabled\": %lld ms", static_cast<long long>(timer.elapsed()));
    QCOMPARE(gatewayEntry(port).result, kNoSuchEntry);

    // Listen again, then close while the mapping is held: closing removes it, within its bound.
    w.click(u"cmdListen"_s);
    QTRY_COMPARE_WITH_TIMEOUT(w.switchLines().size(), 6, kGatewayWaitMs);
    QCOMPARE(w.switchLines().mid(4), (QStringList { listening, enabled }));
    QCOMPARE(gatewayEntry(port).result, 0);

    timer.restart();
    QVERIFY(w.window->close());
    const qint64 closeMs = timer.elapsed();
    qInfo("close with a held mapping: %lld ms", static_cast<long long>(closeMs));
    QVERIFY2(closeMs <= ui::frmMain::ShutdownTimeoutMs + 500, qPrintable(QString::number(closeMs)));
    // The removal's line was taken before close returned: no event-loop turn needed.
    QCOMPARE(w.switchLines().mid(6), QStringList { disabled });
    QCOMPARE(gatewayEntry(port).result, kNoSuchEntry);
}

void tst_frmMainGateway::relayNeverWaitsForDiscovery()
{
    if (!onlyLoopbackUp())
        QSKIP("an interface other than loopback is up, or loopback is down; run in `unshare -n` "
              "with lo up");
    Window w;
    const quint16 port = freePort();
    const QString listening = u"Listener Listening"_s;
    const QString stopped = u"Listener Stopped Listening"_s;
    const QString noDevice = u"Could not detect UPnP device"_s;
    w.script->answers = QStringList { u"127.0.0.1"_s };
    w.click(u"cmdAdd"_s);
    QCOMPARE(w.window->allowedEntries(), QStringList { u"127.0.0.1"_s });
    w.setPort(port);

    w.click(u"cmdListen"_s);
    QCOMPARE(w.button(u"cmdListen"_s)->text(), u"Stop Listening"_s);
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

    // Stop: the listener's line at once, the gateway's after another discovery.
    w.click(u"cmdListen"_s);
    QCOMPARE(w.button(u"cmdListen"_s)->text(), u"Listen"_s);
    QCOMPARE(w.switchLines(), (QStringList { listening, noDevice, stopped }));
    QCOMPARE(w.lines().last(), stopped);
    // Stopping closes only the listener: the client keeps relaying during this discovery too.
    const QByteArray again = harness::pattern(1000, 3);
    client.socket.write(again);
    QTRY_COMPARE(destination.received.at(0), up + again);
    QCOMPARE(w.switchLines(), (QStringList { listening, noDevice, stopped }));
    QTRY_COMPARE_WITH_TIMEOUT(
        w.switchLines(), (QStringList { listening, noDevice, stopped, noDevice }), kGatewayWaitMs);
}

QTEST_MAIN(tst_frmMainGateway)
#include "tst_frmmain_gateway.moc"
