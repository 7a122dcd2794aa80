#include "slot.h"

#include "acl/guard.h"
#include "net/sockaddr.h"

#include <algorithm>
#include <cerrno>

namespace relay {

Slot::Slot(int index, net::Reactor &reactor, net::Lingerer &lingerer, net::Resolver &resolver,
    const Access &access, QObject *parent)
    : QObject(parent), m_index(index), m_access(access), m_client(reactor, lingerer, this),
      m_destination(reactor, lingerer, this), m_connector(reactor, resolver, this),
      m_udp(reactor, resolver, access, this)
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
    connect(&m_udp, &UdpAssociate::Expired, this, [this] { closeSlot(EndReason::Expired); });
    m_connector.setFilter(
        [this](const QHostAddress &address, quint16 port) { return guardAllows(address, port); });
}

bool Slot::guardAllows(const QHostAddress &address, quint16 port)
{
    return !m_access.guard
        || m_access.guard->allows(m_info.client, address, port, m_info.proxyPort);
}

void Slot::enter(Phase phase)
{
    m_phase = phase;
    m_since = Clock::now();
}

bool Slot::takeActive(Clock::time_point now)
{
    const bool datagrams = m_udp.isOpen() && m_udp.takeActive();
    if (!std::exchange(m_active, false) && !datagrams)
        return false;
    m_since = now;
    return true;
}

ConnectionInfo Slot::info() const
{
    ConnectionInfo info = m_info;
    info.bytesUp = m_http.earlierBytesUp();
    switch (m_phase) {
    case Phase::Free:
        info.state = ConnectionState::Closing;
        break;
    case Phase::Requesting:
        info.state = ConnectionState::Negotiating;
        break;
    case Phase::Connecting:
        info.state = ConnectionState::Connecting;
        break;
    case Phase::Relaying:
        if (m_udp.isOpen())
            return m_udp.counted(std::move(info));
        info.state =
            m_up.ended || m_down.ended ? ConnectionState::HalfClosed : ConnectionState::Relaying;
        // The destination's stream counts from its own Accept, on entering this phase.
        if (m_destination.State() != net::sckClosed)
            info.bytesUp += m_destination.bytesDelivered();
        break;
    }
    // The replies went out first, so what was delivered beyond them is payload.
    info.bytesDown = std::max<qint64>(0, m_client.bytesDelivered() - m_replyBytes);
    return info;
}

void Slot::report(Event::Kind kind, const QString &error, EndReason reason, Refusal refusal)
{
    Q_EMIT Reported(Event { kind, m_index, info(), error, reason, refusal });
}

void Slot::sendReply(const QByteArray &reply)
{
    m_replyBytes += reply.size();
    m_client.SendData(reply);
}

// --- Admission and the handshake ------------------------------------------------------------

void Slot::Accept(
    net::Socket socket, const QByteArray &received, ConnectionInfo client, Handshake::Auth auth)
{
    m_handshake.reset(auth);
    m_handshake.setLoginName(client.user);
    m_http.reset();
    m_up = m_down = {};
    m_early.clear();
    m_info = std::move(client);
    m_info.slot = m_index;
    m_replyBytes = 0;
    if (!m_client.Accept(
            std::move(socket), net::SocketAddress { m_info.client, m_info.clientPort }))
        return;
    enter(Phase::Requesting);
    report(Event::Kind::ConnectionRequest);
    // What it sent while it waited for this slot is its request, as if it had just arrived.
    if (!received.isEmpty())
        HandleRequest(received);
}

void Slot::wsProxy_DataArrival(qint64 bytesTotal)
{
    m_active = true;
    if (m_http.isServing())
        m_http.clientReadable(bytesTotal);
    else if (m_udp.isOpen())
        m_client.GetData(bytesTotal); // read for its end only
    else if (m_phase == Phase::Relaying)
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
    sendReply(step.reply);
    m_info.protocol = m_handshake.protocol();
    if (step.http)
        return m_http.start(m_handshake.takePayload(), false);
    if (step.refused()) {
        report(Event::Kind::Refused, {}, EndReason::Refused, step.refusal);
        closeSlot(EndReason::Refused, {}, step.refusal); // the reply is still delivered
        return;
    }
    if (!step.connect)
        return;
    const Destination &to = m_handshake.destination();
    m_info.user = m_handshake.loginName().isEmpty() ? m_handshake.user() : m_handshake.loginName();
    m_info.requested = to;
    if (m_handshake.associate()) {
        associate();
        return;
    }
    enter(Phase::Connecting);
    report(Event::Kind::Request);
    m_early = m_handshake.takePayload();
    if (!to.address.isNull())
        m_connector.connectTo(to.address, to.port);
    else
        m_connector.connectTo(QString::fromLatin1(to.hostName), to.port,
            m_handshake.ipv4Only() ? net::Connector::Families::IPv4Only
                                   : net::Connector::Families::Any);
    updateReading();
}

void Slot::associate()
{
    // The TCP connection stays open, read for its end only; the association relays the rest.
    m_info.protocol = Protocol::Udp;
    sendReply(m_udp.Start(m_client, m_handshake.destination()));
    if (!m_udp.isOpen()) {
        report(Event::Kind::OutboundError, m_udp.ErrorString(), EndReason::ConnectFailed);
        closeSlot(EndReason::ConnectFailed, m_udp.ErrorString());
        return;
    }
    enter(Phase::Relaying);
    report(Event::Kind::UdpAssociationStarted);
    updateReading();
}

void Slot::wsOutbound_Connect()
{
    if (m_http.isServing())
        return m_http.originConnected();
    if (m_phase != Phase::Connecting
        || !m_destination.Accept(m_connector.takeSocket(), m_connector.attempt()))
        return;
    m_info.connectedAddress = m_destination.RemoteHost();
    m_info.connectedPort = m_destination.RemotePort();
    enter(Phase::Relaying);
    report(Event::Kind::OutboundConnected);
    // Only SOCKS5 tells the client the address the proxy connected from.
    const bool bound = m_handshake.repliesWithBoundAddress();
    sendReply(m_handshake.granted(m_info.connectedAddress, m_info.connectedPort,
        bound ? m_destination.LocalHost() : QHostAddress(), bound ? m_destination.LocalPort() : 0));
    m_destination.SendData(std::exchange(m_early, {}));
    // A client that ended its sending along with its request gets its end passed on now.
    if (m_up.ended)
        m_destination.shutdownSend();
    updateReading();
}

void Slot::wsOutbound_ConnectFailed(int error, const QString &description)
{
    if (m_http.isServing())
        return m_http.originFailed(error, description);
    if (m_phase != Phase::Connecting)
        return;
    sendReply(m_handshake.failed(error));
    if (error == net::Connector::Forbidden) {
        const Refusal why = reportForbidden();
        closeSlot(EndReason::Refused, {}, why);
        return;
    }
    const EndReason reason =
        error == ETIMEDOUT ? EndReason::ConnectTimeout : EndReason::ConnectFailed;
    report(Event::Kind::OutboundError, description, reason);
    closeSlot(reason, description);
}

Refusal Slot::reportForbidden()
{
    // The guard: nothing was connected to. Which rule is told by the last address refused.
    m_info.connectedAddress = m_connector.forbidden();
    m_info.connectedPort = m_info.requested.port;
    const bool loop = m_access.guard
        && m_access.guard->check(
               {}, m_info.connectedAddress, m_info.connectedPort, m_info.proxyPort)
            == acl::GuardVerdict::ProxyItself;
    const Refusal why = loop ? Refusal::ProxyItself : Refusal::ThisComputer;
    report(Event::Kind::NotAllowed, {}, EndReason::Refused, why);
    return why;
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
    if (m_http.isServing())
        return m_http.originReadable();
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
    if (m_http.isServing())
        return;
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
    if (m_http.isServing())
        return m_http.updateReading();
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
    if (m_http.isServing())
        return m_http.clientEnded();
    if (!std::exchange(m_up.logged, true))
        report(Event::Kind::ProxyClosed);
    m_up.ended = true;
    // A reset ends the slot at once; so does an end before the request was whole, and the end
    // of a UDP association's connection.
    const bool done = m_down.ended || m_udp.isOpen();
    if (m_client.isGone() || m_phase == Phase::Requesting || done) {
        closeSlot(done && !m_client.isGone() ? EndReason::Finished : EndReason::ClientClosed);
        return;
    }
    if (m_phase == Phase::Relaying)
        m_destination.shutdownSend(); // after what is queued for it
    updateReading();
}

void Slot::wsOutbound_Close()
{
    if (m_http.isServing())
        return m_http.originEnded({});
    if (!std::exchange(m_down.logged, true))
        report(Event::Kind::OutboundClosed);
    m_down.ended = true;
    if (m_destination.isGone() || m_up.ended) {
        closeSlot(m_up.ended && !m_destination.isGone() ? EndReason::Finished
                                                        : EndReason::DestinationClosed);
        return;
    }
    m_client.shutdownSend();
    updateReading();
}

void Slot::wsProxy_Error(const QString &description)
{
    report(Event::Kind::ProxyError, description, EndReason::ClientError);
    closeSlot(EndReason::ClientError, description);
}

void Slot::wsOutbound_Error(const QString &description)
{
    if (m_http.isServing())
        return m_http.originEnded(description);
    report(Event::Kind::OutboundFailed, description, EndReason::DestinationError);
    closeSlot(EndReason::DestinationError, description);
}

void Slot::closeFor(EndReason reason)
{
    report(Event::Kind::ProxyError, {}, reason);
    closeSlot(reason);
}

void Slot::closeSlot(EndReason reason, const QString &error, Refusal refusal)
{
    // The last counts, before the streams let their connections go.
    Event ended { Event::Kind::Ended, m_index, info(), error, reason, refusal };
    ended.info.state = ConnectionState::Closing;
    if (m_udp.isOpen()) {
        Q_EMIT Reported(Event {
            Event::Kind::UdpAssociationEnded, m_index, ended.info, {}, reason, Refusal::None });
        m_udp.Close();
    } else {
        // What is still queued goes out with the lingering close (none to a side that is gone).
        ended.info.bytesDown =
            std::max<qint64>(0, m_client.bytesDelivered() + m_client.bytesToSend() - m_replyBytes);
        if (m_phase == Phase::Relaying)
            ended.info.bytesUp += m_destination.bytesToSend();
    }
    // Destination side first: the client stream closing is what frees the slot, so a slot is
    // never handed out while its destination connection still stands. A side that is still
    // there gets what was queued for it, then our end, and is no longer read (Lingerer).
    m_connector.abort();
    m_destination.Close();
    m_client.Close();
    m_handshake.reset();
    m_http.reset();
    m_early.clear();
    m_up = m_down = {};
    m_phase = Phase::Free;
    m_active = false;
    Q_EMIT Reported(ended);
    Q_EMIT Freed();
}

} // namespace relay
