#include "relay.h"

#include "socks4.h"

#include "net/pendingconnection.h"
#include "net/poller.h"

#include <algorithm>
#include <utility>

namespace relay {

/// One slot: the client endpoint, the destination endpoint, and what the slot remembers between
/// the client's request and the grant.
struct Relay::Slot
{
    enum class Phase {
        Free,
        Requesting, ///< client admitted, its request not complete yet
        Connecting, ///< request decoded, destination resolving or connecting
        Relaying,
    };

    net::Endpoint proxy;
    net::Endpoint outbound;
    Phase phase = Phase::Free;
    std::chrono::steady_clock::time_point since; ///< when the current phase began
    QByteArray request; ///< bytes of a request that has not arrived whole yet
    QByteArray early; ///< client bytes that came after the request, before the grant
    quint16 port = 0; ///< the requested destination, for the failure reply
    QString address;
    /// Bytes came from either side since the last sweep; while relaying, `since` is when the
    /// sweep last saw that (so idleness is measured at the sweep's coarse pace).
    bool active = false;

    void enter(Phase next)
    {
        phase = next;
        since = std::chrono::steady_clock::now();
    }
    /// Forgets the last connection's handshake; the endpoints are closed separately.
    void reset()
    {
        phase = Phase::Free;
        active = false;
        request.clear();
        early.clear();
        port = 0;
        address.clear();
    }
};

Relay::Relay(AdmitFn admits, QObject *parent)
    : QObject(parent), m_admits(std::move(admits)), m_listener(this),
      m_slots(std::make_unique<std::array<Slot, SlotCount>>())
{
    m_sweep.setTimerType(Qt::CoarseTimer);
    m_sweep.setInterval(m_timeouts.sweep);
    connect(&m_sweep, &QTimer::timeout, this, &Relay::sweep);
    connect(
        &m_listener, &net::Endpoint::ConnectionRequest, this, &Relay::wsListener_ConnectionRequest);
    connect(&m_listener, &net::Endpoint::Closed, this, &Relay::wsListener_Close);
    connect(&m_listener, &net::Endpoint::Connected, this, &Relay::wsListener_Connect);
    connect(&m_listener, &net::Endpoint::Error, this,
        [this](int, const QString &description) { wsListener_Error(description); });

    for (int i = 0; i < SlotCount; ++i) {
        net::Endpoint *proxy = &wsProxy(i);
        net::Endpoint *outbound = &wsOutbound(i);
        // As children of the relay, all slots' closed connections linger under one sweep.
        proxy->setParent(this);
        outbound->setParent(this);
        connect(proxy, &net::Endpoint::DataArrival, this,
            [this, i](qint64 total) { wsProxy_DataArrival(i, total); });
        connect(proxy, &net::Endpoint::Closed, this, [this, i] { wsProxy_Close(i); });
        connect(proxy, &net::Endpoint::Error, this,
            [this, i](int, const QString &description) { wsProxy_Error(i, description); });
        connect(proxy, &net::Endpoint::Connected, this, [this, i] { wsProxy_Connect(i); });
        // A side whose peer has drained its queue may be read again.
        connect(proxy, &net::Endpoint::SendProgress, this, [outbound](qint64 queued) {
            if (queued <= ResumeBelow && outbound->State() == net::Endpoint::sckConnected)
                outbound->ResumeReading();
        });

        connect(outbound, &net::Endpoint::DataArrival, this,
            [this, i](qint64 total) { wsOutbound_DataArrival(i, total); });
        connect(outbound, &net::Endpoint::Closed, this, [this, i] { wsOutbound_Close(i); });
        connect(outbound, &net::Endpoint::Error, this,
            [this, i](int, const QString &description) { wsOutbound_Error(i, description); });
        connect(outbound, &net::Endpoint::Connected, this, [this, i] { wsOutbound_Connect(i); });
        connect(outbound, &net::Endpoint::SendProgress, this, [proxy, outbound](qint64 queued) {
            // While connecting, the client stays paused until the grant.
            if (queued <= ResumeBelow && outbound->State() == net::Endpoint::sckConnected
                && proxy->State() == net::Endpoint::sckConnected)
                proxy->ResumeReading();
        });
    }
    // All slots' sockets are watched through one poller; made now, so that its descriptor is
    // part of the idle program rather than appearing with the first client.
    new net::Poller(this);
}

Relay::~Relay() = default;

net::Endpoint &Relay::wsProxy(int i)
{
    return m_slots->at(static_cast<size_t>(i)).proxy;
}

net::Endpoint &Relay::wsOutbound(int i)
{
    return m_slots->at(static_cast<size_t>(i)).outbound;
}

void Relay::setTimeouts(const Timeouts &timeouts)
{
    m_timeouts = timeouts;
    m_sweep.setInterval(timeouts.sweep);
}

void Relay::logSlot(const char *side, int i, const QString &text)
{
    Q_EMIT LogLine(QLatin1StringView(side) + QLatin1StringView(" [") + QString::number(i)
        + QLatin1StringView("] ") + text);
}

// --- Admission and the listener's own events ------------------------------------------------

void Relay::wsListener_ConnectionRequest(qintptr requestID)
{
    const QString address = m_listener.RemoteHostIP();
    if (!m_admits(address))
        return;
    if (m_waiting.empty()) {
        for (int i = 0; i < SlotCount; ++i) {
            if (wsProxy(i).State() == net::Endpoint::sckClosed) {
                admit(i, requestID, address);
                return;
            }
        }
    }
    // Every slot is busy (or others are already waiting): wait in line, unanswered. Past the
    // line's length the request is closed when this handler returns.
    if (m_waiting.size() >= MaxWaiting)
        return;
    auto *waiting = new net::PendingConnection(requestID, address, this);
    if (!waiting->isValid()) {
        delete waiting;
        return;
    }
    connect(waiting, &net::PendingConnection::Closed, this, [this, waiting] { forget(waiting); });
    m_waiting.push_back(waiting);
    if (!m_sweep.isActive())
        m_sweep.start(); // idle connections may have to make room
}

void Relay::admit(int i, qintptr requestID, const QString &address)
{
    logSlot("Proxy", i, QStringLiteral("Connection Request from ") + address);
    Slot &s = m_slots->at(static_cast<size_t>(i));
    s.reset();
    if (!s.proxy.Accept(requestID))
        return;
    s.enter(Slot::Phase::Requesting);
    if (!m_sweep.isActive())
        m_sweep.start();
}

void Relay::serveWaiting()
{
    m_servePosted = false;
    for (int i = 0; i < SlotCount && !m_waiting.empty(); ++i) {
        if (wsProxy(i).State() != net::Endpoint::sckClosed)
            continue;
        net::PendingConnection *waiting = m_waiting.front();
        m_waiting.pop_front();
        admit(i, waiting->descriptor(), waiting->address());
        const QByteArray early = waiting->takeReceived();
        delete waiting; // stops reading at once: from here on the endpoint reads
        // What it sent while waiting is its request, handled as if it had just arrived.
        if (!early.isEmpty() && wsProxy(i).State() == net::Endpoint::sckConnected)
            HandleRequest(i, early);
    }
}

void Relay::forget(net::PendingConnection *waiting)
{
    const auto it = std::find(m_waiting.begin(), m_waiting.end(), waiting);
    if (it != m_waiting.end())
        m_waiting.erase(it);
    waiting->disconnect(this);
    waiting->deleteLater();
}

void Relay::wsListener_Close()
{
    Q_EMIT LogLine(QStringLiteral("Listener Connection Closed"));
}

void Relay::wsListener_Connect()
{
    Q_EMIT LogLine(QStringLiteral("Listener Connected"));
}

void Relay::wsListener_Error(const QString &description)
{
    Q_EMIT LogLine(QStringLiteral("Listener Error: ") + description);
}

// --- Client data and the SOCKS4 handshake ---------------------------------------------------

void Relay::wsProxy_DataArrival(int i, qint64 bytesTotal)
{
    m_slots->at(static_cast<size_t>(i)).active = true;
    if (wsOutbound(i).State() == net::Endpoint::sckConnected)
        forward(wsProxy(i), wsOutbound(i), bytesTotal);
    else
        HandleRequest(i, wsProxy(i).GetData(bytesTotal));
}

void Relay::HandleRequest(int i, const QByteArray &chunk)
{
    Slot &s = m_slots->at(static_cast<size_t>(i));
    if (s.phase == Slot::Phase::Connecting) {
        // The client did not wait for its grant. Its bytes belong to the destination, in order,
        // right after the grant; hold them, within a bound.
        s.early += chunk;
        if (s.early.size() >= EarlyDataLimit)
            s.proxy.PauseReading();
        return;
    }

    s.request += chunk;
    const socks4::DecodeResult decoded = socks4::decodeRequest(s.request);
    switch (decoded.status) {
    case socks4::DecodeStatus::NeedMore:
        return;
    case socks4::DecodeStatus::BadVersion:
        // Not a SOCKS4 request: refuse it and wait for the next one on the same connection.
        s.request.clear();
        s.proxy.SendData(socks4::rejection());
        return;
    case socks4::DecodeStatus::BadHostName:
        s.proxy.SendData(socks4::failure(decoded.request.port, decoded.request.address));
        logSlot("Proxy", i, QStringLiteral("Error: Invalid host name"));
        closeSlot(i);
        return;
    case socks4::DecodeStatus::TooLong:
        logSlot("Proxy", i, QStringLiteral("Error: SOCKS4 user id too long"));
        closeSlot(i);
        return;
    case socks4::DecodeStatus::Complete:
        break;
    }

    const socks4::Request &request = decoded.request;
    s.early = s.request.mid(request.consumed);
    s.request.clear();
    s.enter(Slot::Phase::Connecting);
    s.port = request.port;
    s.address = request.address;
    Q_EMIT LogLine(socks4::requestLine(i, request));
    if (s.early.size() >= EarlyDataLimit)
        s.proxy.PauseReading();
    // The destination endpoint is closed here: every way out of connecting closes the slot.
    // A host name is resolved by the endpoint without blocking, IPv4 addresses only.
    s.outbound.Connect(
        request.hostName.isEmpty() ? request.address : QString::fromLatin1(request.hostName),
        request.port);
}

void Relay::wsOutbound_Connect(int i)
{
    logSlot("Outbound", i, QStringLiteral("Connected"));
    Slot &s = m_slots->at(static_cast<size_t>(i));
    s.proxy.SendData(
        socks4::grant(static_cast<quint16>(s.outbound.RemotePort()), s.outbound.RemoteHostIP()));
    s.enter(Slot::Phase::Relaying);
    if (!s.early.isEmpty()) {
        s.outbound.SendData(s.early);
        s.early.clear();
    }
    if (s.outbound.BytesToSend() <= ResumeBelow)
        s.proxy.ResumeReading();
}

// --- Destination data and teardown ----------------------------------------------------------

void Relay::wsOutbound_DataArrival(int i, qint64 bytesTotal)
{
    m_slots->at(static_cast<size_t>(i)).active = true;
    if (wsProxy(i).State() == net::Endpoint::sckConnected) {
        forward(wsOutbound(i), wsProxy(i), bytesTotal);
    } else {
        // The client is gone: nobody to hand these bytes to.
        wsOutbound(i).GetData(bytesTotal);
        closeSlot(i);
    }
}

void Relay::wsProxy_Close(int i)
{
    logSlot("Proxy", i, QStringLiteral("Connection Closed"));
    closeSlot(i);
}

void Relay::wsOutbound_Close(int i)
{
    logSlot("Outbound", i, QStringLiteral("Connection Closed"));
    closeSlot(i);
}

void Relay::wsProxy_Error(int i, const QString &description)
{
    logSlot("Proxy", i, QStringLiteral("Error: ") + description);
    closeSlot(i);
}

void Relay::wsOutbound_Error(int i, const QString &description)
{
    const Slot &s = m_slots->at(static_cast<size_t>(i));
    if (s.phase == Slot::Phase::Connecting) {
        // Tell a waiting client that its destination cannot be reached (reply code 91) before
        // its connection is closed; the close still delivers these bytes.
        wsProxy(i).SendData(socks4::failure(s.port, s.address));
    }
    logSlot("Outbound", i, QStringLiteral("Error: ") + description);
    closeSlot(i);
}

void Relay::wsProxy_Connect(int i)
{
    logSlot("Proxy", i, QStringLiteral("Connected"));
}

void Relay::closeSlot(int i)
{
    // Destination side first: the client endpoint closing is what frees the slot, so a slot
    // is never handed out while its destination connection still stands.
    Slot &s = m_slots->at(static_cast<size_t>(i));
    s.outbound.Close();
    s.proxy.Close();
    s.reset();
    // The freed slot goes to the longest-waiting client, once this event is done with.
    if (!m_waiting.empty() && !m_servePosted) {
        m_servePosted = true;
        QMetaObject::invokeMethod(this, &Relay::serveWaiting, Qt::QueuedConnection);
    }
}

void Relay::sweep()
{
    const auto now = std::chrono::steady_clock::now();
    bool pending = false;
    bool relaying = false;
    int freeSlots = 0;
    for (int i = 0; i < SlotCount; ++i) {
        Slot &s = m_slots->at(static_cast<size_t>(i));
        if (s.proxy.State() == net::Endpoint::sckClosed) {
            ++freeSlots;
        } else if (s.phase == Slot::Phase::Requesting && now - s.since >= m_timeouts.request) {
            logSlot("Proxy", i, QStringLiteral("Error: Request timed out"));
            closeSlot(i);
            ++freeSlots;
        } else if (s.phase == Slot::Phase::Connecting && now - s.since >= m_timeouts.connect) {
            wsOutbound_Error(i, QStringLiteral("Connection timed out"));
            ++freeSlots;
        } else if (s.phase == Slot::Phase::Relaying) {
            relaying = true;
            if (std::exchange(s.active, false))
                s.since = now;
            // A side held back by a slow peer is not watched: look whether it has gone.
            s.proxy.ProbePeer();
            s.outbound.ProbePeer();
            pending = pending || s.proxy.IsReadingHeld() || s.outbound.IsReadingHeld();
        } else {
            pending = true;
        }
    }
    makeRoom(freeSlots, now);
    // Nothing left to watch: stop until the next admission or the next waiting client.
    if (!pending && !(relaying && !m_waiting.empty()))
        m_sweep.stop();
}

void Relay::makeRoom(int freeSlots, std::chrono::steady_clock::time_point now)
{
    const qsizetype wanted = static_cast<qsizetype>(m_waiting.size()) - freeSlots;
    if (wanted <= 0)
        return;
    std::array<int, SlotCount> idle {};
    qsizetype count = 0;
    for (int i = 0; i < SlotCount; ++i) {
        const Slot &s = m_slots->at(static_cast<size_t>(i));
        if (s.phase == Slot::Phase::Relaying && !s.active && now - s.since >= m_timeouts.idle
            && s.proxy.BytesToSend() == 0 && s.outbound.BytesToSend() == 0)
            idle.at(static_cast<size_t>(count++)) = i;
    }
    // The longest idle goes first, one for each client that has no slot to go to.
    const auto since = [this](int i) { return m_slots->at(static_cast<size_t>(i)).since; };
    std::stable_sort(
        idle.begin(), idle.begin() + count, [&since](int a, int b) { return since(a) < since(b); });
    for (qsizetype k = 0; k < std::min(count, wanted); ++k) {
        const int i = idle.at(static_cast<size_t>(k));
        logSlot("Proxy", i, QStringLiteral("Error: Idle connection closed for a waiting client"));
        closeSlot(i);
    }
}

void Relay::forward(net::Endpoint &from, net::Endpoint &to, qint64 bytesTotal)
{
    from.TransferTo(to, bytesTotal);
    // A slow reader on one side holds back the other side instead of growing our queue.
    if (to.BytesToSend() > PauseAbove)
        from.PauseReading();
    // Held back, that side is checked by the sweep in case its peer goes away meanwhile.
    if (from.IsReadingHeld() && !m_sweep.isActive())
        m_sweep.start();
}

} // namespace relay
