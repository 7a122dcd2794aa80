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

namespace {

/// What the double does and saw; shared with the test so it outlives the mapper, which the
/// worker thread owns and may delete late.
struct FakeGateway
{
    QMutex mutex;
    QStringList calls; ///< "add 1080", "remove 1080"
    QQueue<Outcome> addOutcomes; ///< consumed in order; Done when empty
    QQueue<Outcome> removeOutcomes;
    bool blocking = false; ///< every call waits for one release of gate
    QSemaphore gate;
    QSemaphore entered; ///< released whenever a call starts
    QSemaphore destroyed; ///< released when the mapper is deleted
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
        return m_gateway->call(QStringLiteral("add %1").arg(port), m_gateway->addOutcomes);
    }
    Outcome remove(quint16 port) override
    {
        return m_gateway->call(QStringLiteral("remove %1").arg(port), m_gateway->removeOutcomes);
    }

private:
    std::shared_ptr<FakeGateway> m_gateway;
};

Outcome refusal(int code, const QString &text)
{
    return { Outcome::Refused, code, text };
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
    void listenStopListenKeepsOrderWithoutBlocking();
    void removeTakesThePortThatWasMapped();
    void outcomes_data();
    void outcomes();
    void shutdownRemovesHeldMapping_data();
    void shutdownRemovesHeldMapping();
    void shutdownGivesUpOnHungGateway();

private:
    std::shared_ptr<FakeGateway> m_gateway;
};

void tst_PortMapping::listenStopListenKeepsOrderWithoutBlocking()
{
    m_gateway->blocking = true;
    PortMapping mapping(std::make_unique<FakeMapper>(m_gateway));
    QSignalSpy spy(&mapping, &PortMapping::LogLine);
    QList<QThread *> lineThreads;
    connect(&mapping, &PortMapping::LogLine, this,
        [&lineThreads] { lineThreads << QThread::currentThread(); });

    // Listen, Stop, Listen pressed quickly while the gateway takes its time.
    QElapsedTimer timer;
    timer.start();
    mapping.AddUPnP(1080);
    mapping.RemoveUPnP();
    mapping.AddUPnP(1081);
    QVERIFY(m_gateway->entered.tryAcquire(1, 5000)); // the worker is inside the first add...
    QVERIFY(timer.elapsed() < 1000); // ...and we were never held up by it
    QCOMPARE(spy.count(), 0);
    QCOMPARE(m_gateway->seen(), QStringList { QStringLiteral("add 1080") });

    m_gateway->gate.release(3);
    QTRY_COMPARE(spy.count(), 3);
    QCOMPARE(lines(spy),
        (QStringList { QStringLiteral("UPnP Enabled on 1080."),
            QStringLiteral("UPnP Disabled on 1080."), QStringLiteral("UPnP Enabled on 1081.") }));
    QCOMPARE(m_gateway->seen(),
        (QStringList { QStringLiteral("add 1080"), QStringLiteral("remove 1080"),
            QStringLiteral("add 1081") }));
    QVERIFY(m_gateway->callThread != QThread::currentThread());
    for (QThread *thread : std::as_const(lineThreads))
        QCOMPARE(thread, QThread::currentThread());
}

void tst_PortMapping::removeTakesThePortThatWasMapped()
{
    PortMapping mapping(std::make_unique<FakeMapper>(m_gateway));
    QSignalSpy spy(&mapping, &PortMapping::LogLine);
    mapping.AddUPnP(1080);
    mapping.RemoveUPnP(); // the port box may say anything by now
    mapping.AddUPnP(2222);
    mapping.RemoveUPnP();
    QTRY_COMPARE(spy.count(), 4);
    QCOMPARE(m_gateway->seen(),
        (QStringList { QStringLiteral("add 1080"), QStringLiteral("remove 1080"),
            QStringLiteral("add 2222"), QStringLiteral("remove 2222") }));
}

void tst_PortMapping::outcomes_data()
{
    QTest::addColumn<QList<Outcome>>("addOutcome");
    QTest::addColumn<QList<Outcome>>("removeOutcome");
    QTest::addColumn<QStringList>("expectedLines");
    QTest::addColumn<QStringList>("expectedCalls");

    const QString add = QStringLiteral("add 1080");
    const QString remove = QStringLiteral("remove 1080");
    const QString enabled = QStringLiteral("UPnP Enabled on 1080.");
    const QString disabled = QStringLiteral("UPnP Disabled on 1080.");
    const QString noDevice = QStringLiteral("Could not detect UPnP device");
    const Outcome none { Outcome::NoDevice, 0, {} };

    QTest::newRow("mapped and removed")
        << QList<Outcome> {} << QList<Outcome> {} << QStringList { enabled, disabled }
        << QStringList { add, remove };
    QTest::newRow("no gateway either time")
        << QList<Outcome> { none } << QList<Outcome> { none } << QStringList { noDevice, noDevice }
        << QStringList { add, remove };
    // Another host holds the port: the gateway's refusal is shown, and Stop must not delete
    // a mapping that is not ours.
    QTest::newRow("add refused")
        << QList<Outcome> { refusal(718, QStringLiteral("ConflictInMappingEntry")) }
        << QList<Outcome> {}
        << QStringList { QStringLiteral("UPnP Error: 718 ConflictInMappingEntry") }
        << QStringList { add };
    // No answer from the gateway: it may have mapped the port all the same, so Stop removes.
    QTest::newRow("add timed out")
        << QList<Outcome> { refusal(-3, QStringLiteral("Miniupnpc HTTP error")) }
        << QList<Outcome> {}
        << QStringList { QStringLiteral("UPnP Error: -3 Miniupnpc HTTP error"), disabled }
        << QStringList { add, remove };
    QTest::newRow("remove refused")
        << QList<Outcome> {}
        << QList<Outcome> { refusal(606, QStringLiteral("Action not authorized")) }
        << QStringList { enabled, QStringLiteral("UPnP Error: 606 Action not authorized") }
        << QStringList { add, remove };
    QTest::newRow("mapping already gone")
        << QList<Outcome> {}
        << QList<Outcome> { refusal(714, QStringLiteral("NoSuchEntryInArray")) }
        << QStringList { enabled, disabled } << QStringList { add, remove };
}

void tst_PortMapping::outcomes()
{
    QFETCH(QList<Outcome>, addOutcome);
    QFETCH(QList<Outcome>, removeOutcome);
    QFETCH(QStringList, expectedLines);
    QFETCH(QStringList, expectedCalls);
    m_gateway->addOutcomes.append(addOutcome);
    m_gateway->removeOutcomes.append(removeOutcome);

    PortMapping mapping(std::make_unique<FakeMapper>(m_gateway));
    QSignalSpy spy(&mapping, &PortMapping::LogLine);
    mapping.AddUPnP(1080);
    mapping.RemoveUPnP();
    // A marker add whose line tells us both earlier calls have been answered.
    mapping.AddUPnP(9);
    QTRY_VERIFY(lines(spy).contains(QStringLiteral("UPnP Enabled on 9.")));
    QCOMPARE(lines(spy).last(), QStringLiteral("UPnP Enabled on 9."));
    QCOMPARE(lines(spy).mid(0, spy.count() - 1), expectedLines);
    expectedCalls << QStringLiteral("add 9");
    QCOMPARE(m_gateway->seen(), expectedCalls);
}

void tst_PortMapping::shutdownRemovesHeldMapping_data()
{
    QTest::addColumn<bool>("stopFirst");
    QTest::addColumn<QList<Outcome>>("addOutcome");
    QTest::addColumn<QStringList>("expectedCalls");

    QTest::newRow("still mapped") << false << QList<Outcome> {}
                                  << QStringList { QStringLiteral("add 1080"),
                                         QStringLiteral("remove 1080") };
    QTest::newRow("removed by Stop")
        << true << QList<Outcome> {}
        << QStringList { QStringLiteral("add 1080"), QStringLiteral("remove 1080") };
    // Closed while the gateway is still being looked for: no point mapping it just to unmap.
    QTest::newRow("add still queued") << false << QList<Outcome> {} << QStringList {};
    QTest::newRow("never mapped") << false
                                  << QList<Outcome> { Outcome { Outcome::NoDevice, 0, {} } }
                                  << QStringList { QStringLiteral("add 1080") };
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
        expectedCalls.prepend(QStringLiteral("add 1"));
        expectedCalls << QStringLiteral("remove 1");
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
    QCOMPARE(m_gateway->seen(),
        (QStringList { QStringLiteral("add 1080"), QStringLiteral("remove 1080") }));
}

QTEST_GUILESS_MAIN(tst_PortMapping)
#include "tst_portmapping.moc"
