#include "slot.h"

#include "net/sockaddr.h"

#include <cerrno>

namespace relay {

Slot::Slot(int index, net::Reactor &reactor, net::Lingerer &lingerer, net::Resolver &resolver,
    QObject *parent)
    : QObject(parent), m_index(index), m_client(reactor, lingerer, this),
      m_destination(reactor, lingerer, this), m_connector(reactor, resolver, this),
      m_handshake(index)
{
    connect(&m_client, &net::Stream::DataArrival, this, &Slot::wsProxy_DataArrival);
    connect(&m_client, &net::Stream::Closed, this, &Slot::wsProxy_Close);
    connect(&m_client, &net::Stream::Error, this, &Slot::wsProxy_Error);
    connect(&m_client, &net::Stream::SendProgress, this,
        [this] { drained(m_down, m_destination, m_client); });
    connect(&m_destination, &net::Stream::DataArrival, this, &Slot::wsOutbound_DataArrival);
    connect(&m_destination, &net::Stream::Closed, this, &Slot::wsOutbound_Close);
    connect(&m_destination, &net::Stream::Error, this, &Slot::wsOutbound_Error);
    connect(&m_destination, &net::Stream::SendProgress, this,
        [this] { drained(m_up, m_client, m_destination); });
    connect(&m_connector, &net::Connector::Connected, this, &Slot::wsOutbound_Connect);
    connect(&m_connector, &net::Connector::Failed, this, &Slot::wsOutbound_ConnectFailed);
}

void Slot::enter(Phase phase)
{
    m_phase = phase;
    m_since = Clock::now();
}

bool Slot::takeActive(Clock::time_point now)
{
    if (!std::exchange(m_active, false))
        return false;
    m_since = now;
    return true;
}

void Slot::log(const char *side, const QString &text)
{
    Q_EMIT LogLine(QLatin1StringView(side) + QLatin1StringView(" [") + QString::number(m_index)
        + QLatin1StringView("] ") + text);
}

// --- Admission and the handshake ------------------------------------------------------------

void Slot::Accept(net::Socket socket, const QByteArray &received)
{
    m_handshake.reset();
    m_up = m_down = {};
    m_early.clear();
    if (!m_client.Accept(std::move(socket)))
        return;
    enter(Phase::Requesting);
    // What it sent while it waited for this slot is its request, as if it had just arrived.
    if (!received.isEmpty())
        HandleRequest(received);
}

void Slot::wsProxy_DataArrival(qint64 bytesTotal)
{
    m_active = true;
    if (m_phase == Phase::Relaying)
        pump(m_client, m_destination);
    else
        HandleRequest(m_client.GetData(bytesTotal));
}

void Slot::HandleRequest(const QByteArray &chunk)
{
    if (m_phase == Phase::Connecting) {
        // The client did not wait for its reply. Its bytes belong to the destination, in order,
        // right after the reply; they are held, within a bound.
        m_early += chunk;
        updateReading();
        return;
    }
    const Handshake::Step step = m_handshake.feed(chunk);
    m_client.SendData(step.reply);
    if (!step.line.isEmpty())
        Q_EMIT LogLine(step.line);
    if (step.close) {
        closeSlot(); // the reply is still delivered
        return;
    }
    if (!step.connect)
        return;
    enter(Phase::Connecting);
    m_early = m_handshake.takePayload();
    const Handshake::Destination &to = m_handshake.destination();
    if (!to.address.isNull())
        m_connector.connectTo(to.address, to.port);
    else
        m_connector.connectTo(QString::fromLatin1(to.hostName), to.port,
            to.ipv4Only ? net::Connector::Families::IPv4Only : net::Connector::Families::Any);
    updateReading();
}

void Slot::wsOutbound_Connect()
{
    if (m_phase != Phase::Connecting || !m_destination.Accept(m_connector.takeSocket()))
        return;
    log("Outbound", QStringLiteral("Connected"));
    m_client.SendData(m_handshake.granted(m_destination.RemoteHost(), m_destination.RemotePort(),
        m_destination.LocalHost(), m_destination.LocalPort()));
    enter(Phase::Relaying);
    m_destination.SendData(std::exchange(m_early, {}));
    // A client that ended its sending along with its request gets its end passed on now.
    if (m_up.ended)
        m_destination.shutdownSend();
    updateReading();
}

void Slot::wsOutbound_ConnectFailed(int error, const QString &description)
{
    if (m_phase != Phase::Connecting)
        return;
    m_client.SendData(m_handshake.failed(error));
    log("Outbound", QStringLiteral("Error: ") + description);
    closeSlot();
}

void Slot::connectTimedOut()
{
    m_connector.abort();
    wsOutbound_ConnectFailed(ETIMEDOUT, net::connectErrorText(ETIMEDOUT));
}

// --- Relaying, flow control and teardown ----------------------------------------------------

void Slot::wsOutbound_DataArrival()
{
    m_active = true;
    pump(m_destination, m_client);
}

void Slot::pump(net::Stream &from, net::Stream &to)
{
    for (int round = 0; round < RoundsPerWake && !to.isFull(); ++round) {
        if (from.transferTo(to) <= 0)
            break;
    }
    updateReading();
}

void Slot::drained(Direction &d, net::Stream &from, net::Stream &to)
{
    // A direction held back by a full target goes on in this same wake-up once the target has
    // room again: its source has most likely been ready all along.
    const bool wasHeld = d.held;
    updateReading();
    if (wasHeld && !d.held && !d.ended && m_phase == Phase::Relaying)
        pump(from, to);
}

void Slot::updateReading()
{
    // The one place that decides which side is read. A direction is held back while its target
    // is full, so that a slow reader on one side holds the other side back through TCP instead
    // of growing our queues; it goes on as soon as the target has room.
    const auto flows = [](Direction &d, const net::Stream &to) {
        d.held = to.isFull();
        return !d.ended && !d.held;
    };
    switch (m_phase) {
    case Phase::Free:
        return;
    case Phase::Requesting:
        m_client.setReading(true);
        return;
    case Phase::Connecting:
        m_client.setReading(!m_up.ended && m_early.size() < EarlyDataLimit);
        return;
    case Phase::Relaying:
        m_client.setReading(flows(m_up, m_destination));
        m_destination.setReading(flows(m_down, m_client));
        return;
    }
}

void Slot::wsProxy_Close()
{
    if (!std::exchange(m_up.logged, true))
        log("Proxy", QStringLiteral("Connection Closed"));
    m_up.ended = true;
    // A reset ends the slot at once; so does an end before the request was whole.
    if (m_client.isGone() || m_phase == Phase::Requesting || m_down.ended) {
        closeSlot();
        return;
    }
    if (m_phase == Phase::Relaying)
        m_destination.shutdownSend(); // after what is queued for it
    updateReading();
}

void Slot::wsOutbound_Close()
{
    if (!std::exchange(m_down.logged, true))
        log("Outbound", QStringLiteral("Connection Closed"));
    m_down.ended = true;
    if (m_destination.isGone() || m_up.ended) {
        closeSlot();
        return;
    }
    m_client.shutdownSend();
    updateReading();
}

void Slot::wsProxy_Error(const QString &description)
{
    log("Proxy", QStringLiteral("Error: ") + description);
    closeSlot();
}

void Slot::wsOutbound_Error(const QString &description)
{
    log("Outbound", QStringLiteral("Error: ") + description);
    closeSlot();
}

void Slot::closeWithError(const QString &description)
{
    log("Proxy", QStringLiteral("Error: ") + description);
    closeSlot();
}

void Slot::closeSlot()
{
    // Destination side first: the client stream closing is what frees the slot, so a slot is
    // never handed out while its destination connection still stands. A side that is still
    // there gets what was queued for it, then our end, and is no longer read (Lingerer).
    m_connector.abort();
    m_destination.Close();
    m_client.Close();
    m_handshake.reset();
    m_early.clear();
    m_up = m_down = {};
    m_phase = Phase::Free;
    m_active = false;
    Q_EMIT Freed();
}

} // namespace relay
