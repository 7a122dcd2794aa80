// PortMapping against a scripted gateway double: order of calls and lines, the owner's thread
// never waiting, and how refusals, gone mappings and the exit are handled.

#include "portmap/portmapping.h"

#include <QElapsedTimer>
#include <QMutex>
#include <QQueue>
#include <QSemaphore>
#include <QSignalSpy>
#include <QTest>
#include <QThread>

#include <memory>

using namespace portmap;
using namespace Qt::StringLiterals;

namespace {

/// What the double does and saw; shared with the test so it outlives the mapper, which the
/// worker thread owns and may delete late.
struct FakeGateway
{
    QMutex mutex;
    QStringList calls; ///< "add 1080", "remove 1080"
    QQueue<Outcome> addOutcomes, removeOutcomes; ///< consumed in order; Done when empty
    bool blocking = false; ///< every call waits for one release of gate
    QSemaphore gate, entered, destroyed; ///< entered: a call started; destroyed: mapper deleted
    QThread *callThread = nullptr;

    Outcome call(const QString &what, QQueue<Outcome> &outcomes)
    {
        bool wait = false;
        Outcome outcome;
        {
            QMutexLocker lock(&mutex);
            calls << what;
            callThread = QThread::currentThread();
            if (!outcomes.isEmpty())
                outcome = outcomes.dequeue();
            wait = blocking;
        }
        entered.release();
        if (wait)
            gate.acquire();
        return outcome;
    }

    QStringList seen()
    {
        QMutexLocker lock(&mutex);
        return calls;
    }
};

class FakeMapper final : public PortMapper
{
public:
    explicit FakeMapper(std::shared_ptr<FakeGateway> gateway) : m_gateway(std::move(gateway)) { }
    ~FakeMapper() override { m_gateway->destroyed.release(); }
    Outcome add(quint16 port) override
    {
        return m_gateway->call(u"add %1"_s.arg(port), m_gateway->addOutcomes);
    }
    Outcome remove(quint16 port) override
    {
        return m_gateway->call(u"remove %1"_s.arg(port), m_gateway->removeOutcomes);
    }

private:
    std::shared_ptr<FakeGateway> m_gateway;
};

QList<Outcome> refusal(int code, const QString &text)
{
    return { { Outcome::Refused, code, text } };
}

QStringList lines(const QSignalSpy &spy)
{
    QStringList out;
    for (const QList<QVariant> &args : spy)
        out << args.at(0).toString();
    return out;
}

} // namespace

class tst_PortMapping : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init() { m_gateway = std::make_shared<FakeGateway>(); }
    void callsKeepOrderWithoutBlocking();
    void outcomes_data();
    void outcomes();
    void shutdownRemovesHeldMapping_data();
    void shutdownRemovesHeldMapping();
    void shutdownGivesUpOnHungGateway();

private:
    std::shared_ptr<FakeGateway> m_gateway;
};

void tst_PortMapping::callsKeepOrderWithoutBlocking()
{
    m_gateway->blocking = true;
    PortMapping mapping(std::make_unique<FakeMapper>(m_gateway));
    QSignalSpy spy(&mapping, &PortMapping::LogLine);
    QList<QThread *> lineThreads;
    connect(&mapping, &PortMapping::LogLine, this,
        [&lineThreads] { lineThreads << QThread::currentThread(); });

    // Listen, Stop, Listen, Stop pressed quickly while the gateway takes its time; each Stop
    // removes the port its Listen mapped, whatever the port box says by then.
    QElapsedTimer timer;
    timer.start();
    mapping.AddUPnP(1080);
    mapping.RemoveUPnP();
    mapping.AddUPnP(1081);
    mapping.RemoveUPnP();
    QVERIFY(m_gateway->entered.tryAcquire(1, 5000)); // the worker is inside the first add...
    QVERIFY(timer.elapsed() < 1000); // ...and we were never held up by it
    QCOMPARE(spy.count(), 0);
    QCOMPARE(m_gateway->seen(), QStringList { u"add 1080"_s });

    m_gateway->gate.release(4);
    QTRY_COMPARE(spy.count(), 4);
    QCOMPARE(lines(spy),
        (QStringList { u"UPnP Enabled on 1080."_s, u"UPnP Disabled on 1080."_s,
            u"UPnP Enabled on 1081."_s, u"UPnP Disabled on 1081."_s }));
    QCOMPARE(m_gateway->seen(),
        (QStringList { u"add 1080"_s, u"remove 1080"_s, u"add 1081"_s, u"remove 1081"_s }));
    QVERIFY(m_gateway->callThread != QThread::currentThread());
    for (QThread *thread : std::as_const(lineThreads))
        QCOMPARE(thread, QThread::currentThread());
}

void tst_PortMapping::outcomes_data()
{
    QTest::addColumn<QList<Outcome>>("addOutcome");
    QTest::addColumn<QList<Outcome>>("removeOutcome");
    QTest::addColumn<QStringList>("expectedLines");
    QTest::addColumn<bool>("removeCalled");
    const QString enabled = u"UPnP Enabled on 1080."_s, disabled = u"UPnP Disabled on 1080."_s;
    const QString noDevice = u"Could not detect UPnP device"_s;
    const QList<Outcome> done, none { { Outcome::NoDevice, 0, {} } };

    QTest::newRow("mapped and removed")
        << done << done << QStringList { enabled, disabled } << true;
    QTest::newRow("no gateway either time")
        << none << none << QStringList { noDevice, noDevice } << true;
    // Another host holds the port: Stop must not delete a mapping that is not ours.
    QTest::newRow("add refused") << refusal(718, u"ConflictInMappingEntry"_s) << done
                                 << QStringList { u"UPnP Error: 718 ConflictInMappingEntry"_s }
                                 << false;
    // No answer from the gateway: it may have mapped the port all the same, so Stop removes.
    QTest::newRow("add timed out")
        << refusal(-3, u"Miniupnpc HTTP error"_s) << done
        << QStringList { u"UPnP Error: -3 Miniupnpc HTTP error"_s, disabled } << true;
    QTest::newRow("remove refused")
        << done << refusal(606, u"Action not authorized"_s)
        << QStringList { enabled, u"UPnP Error: 606 Action not authorized"_s } << true;
    QTest::newRow("mapping already gone") << done << refusal(714, u"NoSuchEntryInArray"_s)
                                          << QStringList { enabled, disabled } << true;
}

void tst_PortMapping::outcomes()
{
    QFETCH(QList<Outcome>, addOutcome);
    QFETCH(QList<Outcome>, removeOutcome);
    QFETCH(QStringList, expectedLines);
    QFETCH(bool, removeCalled);
    m_gateway->addOutcomes.append(addOutcome);
    m_gateway->removeOutcomes.append(removeOutcome);

    PortMapping mapping(std::make_unique<FakeMapper>(m_gateway));
    QSignalSpy spy(&mapping, &PortMapping::LogLine);
    mapping.AddUPnP(1080);
    mapping.RemoveUPnP();
    mapping.AddUPnP(9); // its line tells us both earlier calls have been answered
    QTRY_VERIFY(lines(spy).contains(u"UPnP Enabled on 9."_s));
    QCOMPARE(lines(spy), expectedLines + QStringList { u"UPnP Enabled on 9."_s });
    QCOMPARE(m_gateway->seen(),
        removeCalled ? (QStringList { u"add 1080"_s, u"remove 1080"_s, u"add 9"_s })
                     : (QStringList { u"add 1080"_s, u"add 9"_s }));
}

void tst_PortMapping::shutdownRemovesHeldMapping_data()
{
    QTest::addColumn<bool>("stopFirst");
    QTest::addColumn<QList<Outcome>>("addOutcome");
    QTest::addColumn<QStringList>("expectedCalls");
    const QStringList addAndRemove { u"add 1080"_s, u"remove 1080"_s };
    QTest::newRow("still mapped") << false << QList<Outcome> {} << addAndRemove;
    QTest::newRow("removed by Stop") << true << QList<Outcome> {} << addAndRemove;
    // Closed while the gateway is still being looked for: no point mapping it just to unmap.
    QTest::newRow("add still queued")
        << false << QList<Outcome> {} << QStringList { u"add 1"_s, u"remove 1"_s };
    QTest::newRow("never mapped") << false << QList<Outcome> { { Outcome::NoDevice, 0, {} } }
                                  << QStringList { u"add 1080"_s };
}

void tst_PortMapping::shutdownRemovesHeldMapping()
{
    QFETCH(bool, stopFirst);
    QFETCH(QList<Outcome>, addOutcome);
    QFETCH(QStringList, expectedCalls);
    m_gateway->addOutcomes.append(addOutcome);

    const bool queued = QByteArray(QTest::currentDataTag()) == "add still queued";
    m_gateway->blocking = queued;
    PortMapping mapping(std::make_unique<FakeMapper>(m_gateway));
    QSignalSpy spy(&mapping, &PortMapping::LogLine);
    if (queued) {
        mapping.AddUPnP(1);
        QVERIFY(m_gateway->entered.tryAcquire(1, 5000)); // the worker is busy with port 1
        QMutexLocker lock(&m_gateway->mutex);
        m_gateway->blocking = false;
    }
    mapping.AddUPnP(1080);
    if (stopFirst)
        mapping.RemoveUPnP();
    if (queued) {
        QVERIFY(!mapping.shutdown(0));
        m_gateway->gate.release();
    } else {
        QTRY_COMPARE(spy.count(), stopFirst ? 2 : 1);
    }
    QVERIFY(mapping.shutdown(5000));
    QCOMPARE(m_gateway->seen(), expectedCalls);
    mapping.AddUPnP(1081); // closing: no new mappings
    QVERIFY(mapping.shutdown(5000));
    QCOMPARE(m_gateway->seen(), expectedCalls);
}

void tst_PortMapping::shutdownGivesUpOnHungGateway()
{
    m_gateway->blocking = true;
    QElapsedTimer timer;
    {
        PortMapping mapping(std::make_unique<FakeMapper>(m_gateway));
        mapping.AddUPnP(1080);
        QVERIFY(m_gateway->entered.tryAcquire(1, 5000));
        timer.start();
        QVERIFY(!mapping.shutdown(300));
        QVERIFY(timer.elapsed() >= 250);
    } // the destructor must not wait for the stuck call either
    QVERIFY2(timer.elapsed() < 1500, qPrintable(QString::number(timer.elapsed())));

    // The gateway answers at last: the abandoned worker removes what it mapped and ends,
    // deleting the mapper.
    m_gateway->gate.release(10);
    QVERIFY(m_gateway->destroyed.tryAcquire(1, 5000));
    QCOMPARE(m_gateway->seen(), (QStringList { u"add 1080"_s, u"remove 1080"_s }));
}

QTEST_GUILESS_MAIN(tst_PortMapping)
#include "tst_portmapping.moc"
