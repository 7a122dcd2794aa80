// The real mapper against a real gateway (miniupnpd in igd-fixture.sh's namespaces), run only
// through CTest. Each case skips unless it is in such a namespace, so nothing reaches a real
// network. Listen, Stop and closing with real discovery are tested through the window
// (tests/ui/tst_frmmain_gateway.cpp); these are the cases only the mapper itself can show.

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
            QSKIP("not in the LAN namespace of tests/support/igd-fixture.sh");                     \
    } while (false)

class tst_PortMapGateway : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void mapperAddsAndRemoves();
    void refusedAddIsReported();
    void exitDoesNotWaitForHungGateway();
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

QTEST_GUILESS_MAIN(tst_PortMapGateway)
#include "tst_portmap_gateway.moc"
