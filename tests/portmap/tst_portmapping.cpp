// PortMapping against a scripted gateway double: what Stop and the exit remove after each kind
// of answer, lines on the owner's thread only, and an exit that never waits for a hung gateway.

#include "portmap/portmapping.h"

#include <QCoreApplication>
#include <QHash>
#include <QSemaphore>
#include <QTest>
#include <QThread>

using namespace portmap;
using namespace Qt::StringLiterals;

namespace {

/// The double's script and record; shared with the test, since the worker thread owns the
/// mapper and may delete it late. Only the worker touches it while calls are under way.
struct Gateway
{
    QStringList calls; ///< "add 1080", "remove 1080"
    QHash<QString, Outcome> answers; ///< by call, each used once; Done when absent
    QSemaphore gate { 1000 }, entered, destroyed; ///< each call takes one gate permit
};

class FakeMapper final : public PortMapper
{
public:
    explicit FakeMapper(std::shared_ptr<Gateway> gateway) : m_gateway(std::move(gateway)) { }
    ~FakeMapper() override { m_gateway->destroyed.release(); }
    Outcome add(quint16 port) override { return call(u"add %1"_s.arg(port)); }
    Outcome remove(quint16 port) override { return call(u"remove %1"_s.arg(port)); }

private:
    Outcome call(const QString &what)
    {
        m_gateway->calls << what;
        const Outcome outcome = m_gateway->answers.take(what);
        m_gateway->entered.release();
        m_gateway->gate.acquire();
        return outcome;
    }
    std::shared_ptr<Gateway> m_gateway;
};

/// A PortMapping on the double, with its lines as they reach the owner's thread.
struct Subject
{
    std::shared_ptr<Gateway> gateway = std::make_shared<Gateway>();
    std::unique_ptr<PortMapping> mapping =
        std::make_unique<PortMapping>(std::make_unique<FakeMapper>(gateway));
    QStringList log;
    Subject()
    {
        QObject::connect(
            mapping.get(), &PortMapping::LogLine, mapping.get(), [this](const QString &line) {
                log << (QThread::currentThread() == qApp->thread() ? line : u"elsewhere"_s);
            });
    }
};

struct Case // the gateway's answers, Stop pressed before the exit or not, and what is seen
{
    Outcome add, remove;
    bool stop = false;
    QStringList lines; ///< after the exit
    int removals = 0;
};

} // namespace

class tst_PortMapping : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void answers_data();
    void answers();
    void exitLeavesHungGatewayBehind();
};

void tst_PortMapping::answers_data()
{
    QTest::addColumn<Case>("run");
    const QString on = u"UPnP Enabled on 1080."_s, off = u"UPnP Disabled on 1080."_s;
    const QString none = u"Could not detect UPnP device"_s;
    const Outcome done, noDevice { Outcome::NoDevice, 0, {} };
    QTest::newRow("Stop") << Case { done, done, true, { on, off }, 1 };
    QTest::newRow("exit") << Case { done, done, false, { on, off }, 1 };
    QTest::newRow("no gateway") << Case { noDevice, noDevice, true, { none, none }, 1 };
    QTest::newRow("no gateway, exit") << Case { noDevice, done, false, { none }, 0 };
    // Another host holds the port: neither Stop nor the exit may delete what is not ours.
    QTest::newRow("add refused") << Case { { Outcome::Refused, 718, u"ConflictInMappingEntry"_s },
        done, true, { u"UPnP Error: 718 ConflictInMappingEntry"_s }, 0 };
    // No answer: the gateway may have mapped the port all the same, so Stop removes.
    QTest::newRow("add timed out") << Case { { Outcome::Refused, -3, u"Miniupnpc HTTP error"_s },
        done, true, { u"UPnP Error: -3 Miniupnpc HTTP error"_s, off }, 1 };
    // Still ours after a failed removal: the exit tries again.
    QTest::newRow("remove refused")
        << Case { done, { Outcome::Refused, 606, u"Action not authorized"_s }, true,
               { on, u"UPnP Error: 606 Action not authorized"_s, off }, 2 };
}

void tst_PortMapping::answers()
{
    QFETCH(Case, run);
    Subject s;
    s.gateway->answers = { { u"add 1080"_s, run.add }, { u"remove 1080"_s, run.remove } };
    s.mapping->AddUPnP(1080);
    QVERIFY(s.gateway->entered.tryAcquire(1, 5000)); // under way: the exit no longer drops it
    if (run.stop)
        s.mapping->RemoveUPnP();
    QVERIFY(s.mapping->shutdown(5000));
    s.mapping->AddUPnP(1081); // closing: no new mappings
    QVERIFY(s.mapping->shutdown(5000)); // the worker is idle now
    QCoreApplication::sendPostedEvents(); // the lines queued before shutdown() returned
    QCOMPARE(s.log, run.lines);
    QCOMPARE(
        s.gateway->calls, QStringList(u"add 1080"_s) + QStringList(run.removals, u"remove 1080"_s));
}

void tst_PortMapping::exitLeavesHungGatewayBehind()
{
    Subject s;
    s.gateway->gate.acquire(1000); // the gateway hangs
    s.mapping->AddUPnP(1);
    QVERIFY(s.gateway->entered.tryAcquire(1, 5000));
    s.mapping->AddUPnP(1080); // queued: the owner's thread does not wait for the gateway
    QVERIFY(!s.mapping->shutdown(0));
    s.mapping.reset(); // nor does the destructor: that wait would never end here

    // The gateway answers at last: the abandoned worker drops the queued add, removes what it
    // mapped and ends, deleting the mapper.
    s.gateway->gate.release(10);
    QVERIFY(s.gateway->destroyed.tryAcquire(1, 5000));
    QCOMPARE(s.gateway->calls, (QStringList { u"add 1"_s, u"remove 1"_s }));
}

QTEST_GUILESS_MAIN(tst_PortMapping)
#include "tst_portmapping.moc"
