// The real mapper against a real gateway (miniupnpd in igd-fixture.sh's namespaces), run only
// through CTest. Each case skips unless it is in such a namespace, so discovery never reaches a
// real network.

#include "portmap/portmapping.h"
#include "portmap/upnpmapper.h"
#include "gatewayprobe.h"

#include <QElapsedTimer>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTest>

#include <csignal>
#include <sys/types.h>

using namespace portmap;
using namespace gatewayprobe;
using namespace Qt::StringLiterals;

namespace {

/// The entry AddUPnP(port) must leave on the gateway.
QString mapped(quint16 port)
{
    return u"%1:%2 SOCKS/%1"_s.arg(LanAddress).arg(port);
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
        if (!isolated(true))                                                                       \
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
    QCOMPARE(gatewayEntry(2080), u"714"_s);
    QCOMPARE(mapper.add(2080).kind, Outcome::Done);
    QCOMPARE(gatewayEntry(2080), mapped(2080));
    QCOMPARE(mapper.remove(2080).kind, Outcome::Done);
    QCOMPARE(gatewayEntry(2080), u"714"_s);
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
    QCOMPARE(lines(spy), QStringList { u"UPnP Error: 606 Action not authorized"_s });
    QCOMPARE(gatewayEntry(80), u"714"_s);
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
    QCOMPARE(lines(spy), QStringList { u"UPnP Enabled on 2081."_s });
    QCOMPARE(gatewayEntry(2081), mapped(2081));
    mapping.RemoveUPnP();
    QVERIFY(spy.wait(10000));
    QCOMPARE(lines(spy), (QStringList { u"UPnP Enabled on 2081."_s, u"UPnP Disabled on 2081."_s }));
    QCOMPARE(gatewayEntry(2081), u"714"_s);
}

void tst_PortMapGateway::shutdownRemovesHeldMapping()
{
    REQUIRE_FIXTURE_LAN();
    PortMapping mapping(std::make_unique<UpnpMapper>(rootDescUrl()));
    QSignalSpy spy(&mapping, &PortMapping::LogLine);
    mapping.AddUPnP(2082);
    QVERIFY(spy.wait(5000));
    QCOMPARE(gatewayEntry(2082), mapped(2082));
    QVERIFY(mapping.shutdown(3000));
    QCOMPARE(gatewayEntry(2082), u"714"_s);
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
        QCOMPARE(gatewayEntry(2083), mapped(2083));
        // The gateway hangs: it still accepts connections but answers nothing (5 s per call).
        QCOMPARE(::kill(gatewayPid, SIGSTOP), 0);
        timer.start();
        QVERIFY(!mapping.shutdown(1000));
    } // nor may the destructor wait for it
    qInfo("shutdown and destruction with a hung gateway: %lld ms",
        static_cast<long long>(timer.elapsed()));
    QVERIFY(timer.elapsed() < 1500);

    // Resumed, the gateway answers the removal the abandoned worker had sent.
    QCOMPARE(::kill(gatewayPid, SIGCONT), 0);
    QTRY_COMPARE_WITH_TIMEOUT(gatewayEntry(2083), u"714"_s, 10000);
}

void tst_PortMapGateway::noGatewayWithoutNetwork()
{
    if (!isolated(false))
        QSKIP("an interface other than loopback is up; run in `unshare -n`");
    PortMapping mapping(makeUpnpMapper());
    QSignalSpy spy(&mapping, &PortMapping::LogLine);
    QElapsedTimer timer;
    timer.start();
    mapping.AddUPnP(1080);
    mapping.RemoveUPnP();
    QVERIFY(timer.elapsed() < 500); // each discovery waits 2 s here
    QTRY_COMPARE_WITH_TIMEOUT(spy.count(), 2, 15000);
    QCOMPARE(lines(spy),
        (QStringList { u"Could not detect UPnP device"_s, u"Could not detect UPnP device"_s }));
}

QTEST_GUILESS_MAIN(tst_PortMapGateway)
#include "tst_portmap_gateway.moc"
