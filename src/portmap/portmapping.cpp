#include "portmapping.h"

#include <QDeadlineTimer>
#include <QSemaphore>
#include <QThread>

#include <algorithm>

#include <atomic>
#include <optional>

namespace portmap {

namespace {

// Codes above zero are the gateway's own answer; below zero the library could not get one
// (no connection, timeout, garbled reply), so the gateway may have acted on the call anyway.
bool gatewayAnswered(const Outcome &outcome)
{
    return outcome.kind == Outcome::Refused && outcome.code > 0;
}

QString errorLine(const Outcome &outcome)
{
    return QStringLiteral("UPnP Error: %1 %2").arg(outcome.code).arg(outcome.text);
}

// How long the destructor lets the worker finish what it is doing before leaving it behind.
constexpr int DestroyWaitMs = 200;

} // namespace

namespace detail {

/// Lives on the port-mapping thread; every call to the gateway is made here, one after another
/// in the order they were queued.
class MappingWorker final : public QObject
{
    Q_OBJECT

public:
    explicit MappingWorker(std::unique_ptr<PortMapper> mapper) : m_mapper(std::move(mapper)) { }

    void add(quint16 port)
    {
        if (m_closing)
            return;
        m_lastAsked = port;
        const Outcome outcome = m_mapper->add(port);
        switch (outcome.kind) {
        case Outcome::Done:
            m_held = port;
            m_lastRefused = false;
            Q_EMIT line(QStringLiteral("UPnP Enabled on %1.").arg(port));
            break;
        case Outcome::NoDevice:
            m_lastRefused = false;
            Q_EMIT line(QStringLiteral("Could not detect UPnP device"));
            break;
        case Outcome::Refused:
            // The gateway said no, so whatever mapping of that port exists is not ours.
            m_lastRefused = gatewayAnswered(outcome);
            Q_EMIT line(errorLine(outcome));
            break;
        }
    }

    void remove()
    {
        if (!m_lastAsked || m_lastRefused)
            return;
        removePort(*m_lastAsked);
    }

    /// Removes the mapping we still hold, if any.
    void removeHeld()
    {
        if (m_held)
            removePort(*m_held);
    }

    std::atomic<bool> m_closing = false; ///< set by the owner at exit: drop further adds

Q_SIGNALS:
    void line(const QString &text);

private:
    void removePort(quint16 port)
    {
        const Outcome outcome = m_mapper->remove(port);
        if (outcome.kind == Outcome::Done) {
            if (m_held == port)
                m_held.reset();
            Q_EMIT line(QStringLiteral("UPnP Disabled on %1.").arg(port));
        } else if (outcome.kind == Outcome::NoDevice) {
            Q_EMIT line(QStringLiteral("Could not detect UPnP device"));
        } else {
            Q_EMIT line(errorLine(outcome));
        }
    }

    std::unique_ptr<PortMapper> m_mapper;
    std::optional<quint16> m_lastAsked; ///< the port of the last add: the one remove removes
    bool m_lastRefused = false; ///< the gateway refused that add
    std::optional<quint16> m_held; ///< a port we mapped and have not removed since
};

} // namespace detail

PortMapping::PortMapping(std::unique_ptr<PortMapper> mapper, QObject *parent)
    : QObject(parent),
      m_thread(new QThread) // no parent: its end is managed by the destructor, never by QObject
      ,
      m_worker(new detail::MappingWorker(std::move(mapper)))
{
    m_thread->setObjectName(QStringLiteral("portmap"));
    m_worker->moveToThread(m_thread);
    connect(m_thread, &QThread::finished, m_worker, &QObject::deleteLater);
    // For a thread the destructor had to leave running. When the destructor does see it end,
    // it deletes it at once, which also drops this pending deletion.
    connect(m_thread, &QThread::finished, m_thread, &QObject::deleteLater);
    connect(m_worker, &detail::MappingWorker::line, this, &PortMapping::LogLine);
    m_thread->start();
}

PortMapping::~PortMapping()
{
    m_worker->m_closing = true;
    disconnect(m_worker, nullptr, this, nullptr);
    // Quit once the calls already queued have run, so a removal asked for still happens.
    QMetaObject::invokeMethod(
        m_worker, [thread = m_thread] { thread->quit(); }, Qt::QueuedConnection);
    if (m_thread->wait(QDeadlineTimer(m_gaveUp ? 0 : DestroyWaitMs))) {
        delete m_thread;
        return;
    }
    // The worker is stuck in a call to a gateway that does not answer. Waiting would hang the
    // exit and killing the thread could leave a lock held, so leave it: it ends by itself once
    // the call times out (the library gives up after a few seconds), deleting the worker and
    // the mapper, and the thread object deletes itself then (see the constructor), or simply
    // goes away with the process.
}

void PortMapping::AddUPnP(quint16 port)
{
    QMetaObject::invokeMethod(
        m_worker, [worker = m_worker, port] { worker->add(port); }, Qt::QueuedConnection);
}

void PortMapping::RemoveUPnP()
{
    QMetaObject::invokeMethod(
        m_worker, [worker = m_worker] { worker->remove(); }, Qt::QueuedConnection);
}

bool PortMapping::shutdown(int timeoutMs)
{
    m_worker->m_closing = true;
    // Shared, so the worker can still signal it after we stopped waiting.
    auto done = std::make_shared<QSemaphore>();
    QMetaObject::invokeMethod(
        m_worker,
        [worker = m_worker, done] {
            worker->removeHeld();
            done->release();
        },
        Qt::QueuedConnection);
    const bool finished = done->tryAcquire(1, std::max(timeoutMs, 0));
    m_gaveUp = !finished;
    return finished;
}

} // namespace portmap

#include "portmapping.moc"
