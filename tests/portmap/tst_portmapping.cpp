// PortMapping against a scripted gateway double: what Stop and the exit remove after each kind
// of answer, lines on the owner's thread only, and an exit that never waits for a hung gateway.

#include "portmap/portmapping.h"

#include <QCoreApplication>
#include <QSemaphore>
#include <QTest>
#include <QThread>

using namespace portmap;
using namespace Qt::StringLiterals;

namespace {

/// Shared with the test, since the worker owns the mapper and may delete it late. Each call
/// records itself, takes the next scripted answer (Done when none is left) and a gate permit.
struct Gateway
{
    QStringList calls, log; ///< "add 1080"...; the lines as the owner's thread got them
    QList<Outcome> answers;
    QSemaphore gate { 1000 }, entered, destroyed;
};

struct FakeMapper final : PortMapper
{
    std::shared_ptr<Gateway> g;
    explicit FakeMapper(std::shared_ptr<Gateway> gateway) : g(std::move(gateway)) { }
    ~FakeMapper() override { g->destroyed.release(); }
    Outcome add(quint16 port) override { return call(u"add %1"_s.arg(port)); }
    Outcome remove(quint16 port) override { return call(u"remove %1"_s.arg(port)); }
    Outcome call(const QString &what)
    {
        g->calls << what;
        const Outcome outcome = g->answers.isEmpty() ? Outcome() : g->answers.takeFirst();
        g->entered.release();
        g->gate.acquire();
        return outcome;
    }
};

std::unique_ptr<PortMapping> mappingOn(const std::shared_ptr<Gateway> &g)
{
    auto mapping = std::make_unique<PortMapping>(std::make_unique<FakeMapper>(g));
    QObject::connect(mapping.get(), &PortMapping::LogLine, mapping.get(), [g](const QString &line) {
        g->log << (QThread::currentThread() == qApp->thread() ? line : u"elsewhere"_s);
    });
    return mapping;
}

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
    QTest::addColumn<QList<Outcome>>("script"); // the gateway's answers, in order
    QTest::addColumn<bool>("stop"); // pressed before the exit
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<int>("removals");
    const Outcome none { Outcome::NoDevice, 0, {} };
    const QString on = u"UPnP Enabled on 1080."_s, off = u"UPnP Disabled on 1080."_s;
    const QString nothing = u"Could not detect UPnP device"_s;
    const auto refused = [](int code) { return Outcome { Outcome::Refused, code, u"No"_s }; };
    const auto error = [](int code) { return u"UPnP Error: %1 No"_s.arg(code); };
    const auto row = [](const char *name, const QList<Outcome> &script, bool stop,
                         const QStringList &lines, int removals) {
        QTest::newRow(name) << script << stop << lines << removals;
    };
    row("Stop", {}, true, { on, off }, 1); // the exit's removal: tst_program, end to end
    row("no gateway", { none, none }, true, { nothing, nothing }, 1);
    row("no gateway, exit", { none }, false, { nothing }, 0);
    // Another host holds the port: neither Stop nor the exit may delete what is not ours.
    row("add refused", { refused(718) }, true, { error(718) }, 0);
    // No answer: the gateway may have mapped the port all the same, so Stop removes.
    row("add timed out", { refused(-3) }, true, { error(-3), off }, 1);
    // Still ours after a failed removal: the exit tries again.
    row("remove refused", { Outcome(), refused(606) }, true, { on, error(606), off }, 2);
}

void tst_PortMapping::answers()
{
    QFETCH(int, removals);
    const auto g = std::make_shared<Gateway>();
    QFETCH(QList<Outcome>, script);
    g->answers = script;
    const auto mapping = mappingOn(g);
    mapping->AddUPnP(1080);
    QVERIFY(g->entered.tryAcquire(1, 5000)); // under way: the exit no longer drops it
    if (QFETCH(bool, stop); stop)
        mapping->RemoveUPnP();
    QVERIFY(mapping->shutdown(5000));
    mapping->AddUPnP(1081); // closing: no new mappings
    QVERIFY(mapping->shutdown(5000)); // the worker is idle now
    QCoreApplication::sendPostedEvents(); // the lines queued before shutdown() returned
    QTEST(g->log, "lines");
    QCOMPARE(g->calls, QStringList(u"add 1080"_s) + QStringList(removals, u"remove 1080"_s));
}

void tst_PortMapping::exitLeavesHungGatewayBehind()
{
    const auto g = std::make_shared<Gateway>();
    auto mapping = mappingOn(g);
    g->gate.acquire(1000); // the gateway hangs
    mapping->AddUPnP(1);
    QVERIFY(g->entered.tryAcquire(1, 5000));
    mapping->AddUPnP(1080); // queued: the owner's thread does not wait for the gateway
    QVERIFY(!mapping->shutdown(0));
    mapping.reset(); // nor does the destructor: that wait would never end here
    // The gateway answers at last: the abandoned worker drops the queued add, removes what it
    // mapped and ends, deleting the mapper.
    g->gate.release(10);
    QVERIFY(g->destroyed.tryAcquire(1, 5000));
    QCOMPARE(g->calls, (QStringList { u"add 1"_s, u"remove 1"_s }));
}

QTEST_GUILESS_MAIN(tst_PortMapping)
#include "tst_portmapping.moc"
