#include "relay.h"

#include "socks4.h"

namespace relay {

/// One slot: the client endpoint, the destination endpoint, and what the slot remembers between
/// the client's request and the grant.
struct Relay::Slot
{
    net::Endpoint proxy;
    net::Endpoint outbound;
    QByteArray request; ///< bytes of a request that has not arrived whole yet
    QByteArray early; ///< client bytes that came after the request, before the grant
    bool connecting = false; ///< request decoded, destination connection under way
    quint16 port = 0; ///< the requested destination, for the failure reply
    QString address;

    /// Forgets the last connection's handshake; the endpoints are closed separately.
    void reset()
    {
        request.clear();
        early.clear();
        connecting = false;
        port = 0;
        address.clear();
    }
};

Relay::Relay(AdmitFn admits, QObject *parent)
    : QObject(parent), m_admits(std::move(admits)), m_listener(this),
      m_slots(std::make_unique<std::array<Slot, SlotCount>>())
{
    connect(
        &m_listener, &net::Endpoint::ConnectionRequest, this, &Relay::wsListener_ConnectionRequest);
    connect(&m_listener, &net::Endpoint::Closed, this, &Relay::wsListener_Close);
    connect(&m_listener, &net::Endpoint::Connected, this, &Relay::wsListener_Connect);
    connect(&m_listener, &net::Endpoint::Error, this,
        [this](int, const QString &description) { wsListener_Error(description); });

    for (int i = 0; i < SlotCount; ++i) {
        net::Endpoint *proxy = &wsProxy(i);
        net::Endpoint *outbound = &wsOutbound(i);
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
    for (int i = 0; i < SlotCount; ++i) {
        if (wsProxy(i).State() != net::Endpoint::sckClosed)
            continue;
        logSlot("Proxy", i, QStringLiteral("Connection Request from ") + address);
        m_slots->at(static_cast<size_t>(i)).reset();
        wsProxy(i).Accept(requestID);
        return;
    }
    // All slots busy: the request is closed unanswered when this handler returns.
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
    if (wsOutbound(i).State() == net::Endpoint::sckConnected)
        forward(wsProxy(i), wsOutbound(i), bytesTotal);
    else
        HandleRequest(i, wsProxy(i).GetData(bytesTotal));
}

void Relay::HandleRequest(int i, const QByteArray &chunk)
{
    Slot &s = m_slots->at(static_cast<size_t>(i));
    if (s.connecting) {
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
    s.connecting = true;
    s.port = request.port;
    s.address = request.address;
    Q_EMIT LogLine(socks4::requestLine(i, request));
    if (s.early.size() >= EarlyDataLimit)
        s.proxy.PauseReading();
    // The destination endpoint is closed here: every way out of connecting closes the slot.
    s.outbound.Connect(request.address, request.port);
}

void Relay::wsOutbound_Connect(int i)
{
    logSlot("Outbound", i, QStringLiteral("Connected"));
    Slot &s = m_slots->at(static_cast<size_t>(i));
    s.proxy.SendData(
        socks4::grant(static_cast<quint16>(s.outbound.RemotePort()), s.outbound.RemoteHostIP()));
    s.connecting = false;
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
    if (s.connecting) {
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
}

void Relay::forward(net::Endpoint &from, net::Endpoint &to, qint64 bytesTotal)
{
    from.TransferTo(to, bytesTotal);
    // A slow reader on one side holds back the other side instead of growing our queue.
    if (to.BytesToSend() > PauseAbove)
        from.PauseReading();
}

} // namespace relay
