// The real mapper against a real gateway. Run only through CTest: one group runs in the LAN
// namespace of igd-fixture.sh (miniupnpd as the gateway), the other in a namespace with only
// loopback. Each case first checks it is in such a namespace and skips otherwise, so discovery
// never reaches a real network.

#include "portmap/portmapping.h"
#include "portmap/upnpmapper.h"

#include <QElapsedTimer>
#include <QScopeGuard>
#include <QNetworkInterface>
#include <QSignalSpy>
#include <QTest>

#include <miniupnpc/miniupnpc.h>
#include <miniupnpc/upnpcommands.h>

#include <csignal>
#include <sys/types.h>

using namespace portmap;

namespace {

const QString kLanAddress = QStringLiteral("192.168.77.2");

/// The fixture's gateway, fetched from its root description (no discovery).
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
        if (iface.name() != QStringLiteral("lan0"))
            return false;
        for (const QNetworkAddressEntry &entry : iface.addressEntries())
            lan = lan || entry.ip().toString() == kLanAddress;
    }
    return lan;
}

/// True where no interface but loopback is up (a fresh `unshare -n`).
bool onlyLoopback()
{
    for (const QNetworkInterface &iface : QNetworkInterface::allInterfaces()) {
        const auto flags = iface.flags();
        if (flags.testFlag(QNetworkInterface::IsUp)
            && !flags.testFlag(QNetworkInterface::IsLoopBack))
            return false;
    }
    return true;
}

/// What the gateway itself holds for a TCP port.
struct Entry
{
    int result = -1; ///< 0 found, 714 no such mapping
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

QStringList lines(const QSignalSpy &spy)
{
    QStringList out;
    for (const QList<QVariant> &args : spy)
        out << args.at(0).toString();
    return out;
}

} // namespace

#define REQUIRE_FIXTURE_LAN()                                                                      \
    do {                                                                                           \
        if (!inFixtureLan())                                                                       \
            QSKIP("not in the LAN namespace of tests/portmap/igd-fixture.sh");                     \
    } while (false)

class tst_PortMapGateway : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void mapperAddsAndRemoves();
    void refusedAddIsReported();
    void listenAndStopWithDiscovery();
    void shutdownRemovesHeldMapping();
    void exitDoesNotWaitForHungGateway();
    void noGatewayWithoutNetwork();
};

void tst_PortMapGateway::mapperAddsAndRemoves()
{
    REQUIRE_FIXTURE_LAN();
    UpnpMapper mapper(rootDescUrl());
    QCOMPARE(gatewayEntry(2080).result, 714);

    const Outcome added = mapper.add(2080);
    QCOMPARE(added.kind, Outcome::Done);
    const Entry entry = gatewayEntry(2080);
    QCOMPARE(entry.result, 0);
    QCOMPARE(entry.client, kLanAddress);
    QCOMPARE(entry.internalPort, QStringLiteral("2080"));
    QCOMPARE(entry.description, QStringLiteral("SOCKS/192.168.77.2"));

    QCOMPARE(mapper.remove(2080).kind, Outcome::Done);
    QCOMPARE(gatewayEntry(2080).result, 714);
    QCOMPARE(mapper.remove(2080).kind, Outcome::Done); // already gone counts as removed
}

void tst_PortMapGateway::refusedAddIsReported()
{
    REQUIRE_FIXTURE_LAN();
    // The gateway allows only ports 1024 and up.
    PortMapping mapping(std::make_unique<UpnpMapper>(rootDescUrl()));
    QSignalSpy spy(&mapping, &PortMapping::LogLine);
    mapping.AddUPnP(80);
    QVERIFY(spy.wait(5000));
    QCOMPARE(lines(spy), QStringList { QStringLiteral("UPnP Error: 606 Action not authorized") });
    QCOMPARE(gatewayEntry(80).result, 714);
}

void tst_PortMapGateway::listenAndStopWithDiscovery()
{
    REQUIRE_FIXTURE_LAN();
    PortMapping mapping(makeUpnpMapper()); // finds the gateway over SSDP, like the product
    QSignalSpy spy(&mapping, &PortMapping::LogLine);
    QElapsedTimer timer;
    timer.start();
    mapping.AddUPnP(2081);
    QVERIFY(timer.elapsed() < 500); // discovery alone takes 2 s
    QVERIFY(spy.wait(10000));
    QCOMPARE(lines(spy), QStringList { QStringLiteral("UPnP Enabled on 2081.") });
    qInfo("add with discovery: %lld ms", static_cast<long long>(timer.elapsed()));
    const Entry entry = gatewayEntry(2081);
    QCOMPARE(entry.result, 0);
    QCOMPARE(entry.client, kLanAddress);
    QCOMPARE(entry.description, QStringLiteral("SOCKS/192.168.77.2"));

    timer.restart();
    mapping.RemoveUPnP();
    QVERIFY(spy.wait(10000));
    qInfo("remove with discovery: %lld ms", static_cast<long long>(timer.elapsed()));
    QCOMPARE(lines(spy),
        (QStringList {
            QStringLiteral("UPnP Enabled on 2081."), QStringLiteral("UPnP Disabled on 2081.") }));
    QCOMPARE(gatewayEntry(2081).result, 714);
}

void tst_PortMapGateway::shutdownRemovesHeldMapping()
{
    REQUIRE_FIXTURE_LAN();
    PortMapping mapping(std::make_unique<UpnpMapper>(rootDescUrl()));
    QSignalSpy spy(&mapping, &PortMapping::LogLine);
    mapping.AddUPnP(2082);
    QVERIFY(spy.wait(5000));
    QCOMPARE(gatewayEntry(2082).result, 0);
    QVERIFY(mapping.shutdown(3000));
    QCOMPARE(gatewayEntry(2082).result, 714);
}

void tst_PortMapGateway::exitDoesNotWaitForHungGateway()
{
    REQUIRE_FIXTURE_LAN();
    const pid_t gatewayPid = qEnvironmentVariableIntValue("IGD_FIXTURE_GATEWAY_PID");
    QVERIFY(gatewayPid > 0);
    // Resumes the gateway however the test ends, but only after the mapping is gone.
    const auto resume = qScopeGuard([gatewayPid] { ::kill(gatewayPid, SIGCONT); });
    QElapsedTimer timer;
    {
        PortMapping mapping(std::make_unique<UpnpMapper>(rootDescUrl()));
        QSignalSpy spy(&mapping, &PortMapping::LogLine);
        mapping.AddUPnP(2083);
        QVERIFY(spy.wait(5000));
        QCOMPARE(gatewayEntry(2083).result, 0);

        // The gateway hangs: it still accepts connections but answers nothing (5 s per call).
        QCOMPARE(::kill(gatewayPid, SIGSTOP), 0);
        timer.start();
        QVERIFY(!mapping.shutdown(1000));
        QVERIFY(timer.elapsed() < 1500);
    } // nor may the destructor wait for it
    qInfo("shutdown and destruction with a hung gateway: %lld ms",
        static_cast<long long>(timer.elapsed()));
    QVERIFY(timer.elapsed() < 1500);

    // Resumed, the gateway answers the removal the abandoned worker had sent.
    QCOMPARE(::kill(gatewayPid, SIGCONT), 0);
    QTRY_COMPARE_WITH_TIMEOUT(gatewayEntry(2083).result, 714, 10000);
}

void tst_PortMapGateway::noGatewayWithoutNetwork()
{
    if (!onlyLoopback())
        QSKIP("an interface other than loopback is up; run in `unshare -n`");
    PortMapping mapping(makeUpnpMapper());
    QSignalSpy spy(&mapping, &PortMapping::LogLine);
    QElapsedTimer timer;
    timer.start();
    mapping.AddUPnP(1080);
    mapping.RemoveUPnP();
    QVERIFY(timer.elapsed() < 500); // each discovery waits 2 s here
    QTRY_COMPARE_WITH_TIMEOUT(spy.count(), 2, 15000);
    qInfo("two calls without a gateway: %lld ms", static_cast<long long>(timer.elapsed()));
    QCOMPARE(lines(spy),
        (QStringList { QStringLiteral("Could not detect UPnP device"),
            QStringLiteral("Could not detect UPnP device") }));
}

QTEST_GUILESS_MAIN(tst_PortMapGateway)
#include "tst_portmap_gateway.moc"
