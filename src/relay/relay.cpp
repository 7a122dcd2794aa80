#include "relay.h"

#include "socks4.h"

namespace relay {

namespace {

QString slotTag(const char *side, int i)
{
    return QLatin1StringView(side) + QLatin1StringView(" [") + QString::number(i)
        + QLatin1StringView("] ");
}

} // namespace

/// What a slot remembers between the client's request and the grant. Outside that window the
/// slot is described by its two endpoints alone.
struct Relay::Slot
{
    QByteArray request; ///< bytes of a request that has not arrived whole yet
    QByteArray early; ///< client bytes that came after the request, before the grant
    bool connecting = false; ///< request decoded, destination connection under way
    quint16 port = 0; ///< the requested destination, for the failure reply
    QString address;
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
        auto *proxy = new net::Endpoint(this);
        auto *outbound = new net::Endpoint(this);
        m_proxy.at(static_cast<size_t>(i)) = proxy;
        m_outbound.at(static_cast<size_t>(i)) = outbound;

        connect(proxy, &net::Endpoint::DataArrival, this,
            [this, i](qint64 total) { wsProxy_DataArrival(i, total); });
        connect(proxy, &net::Endpoint::Closed, this, [this, i] { wsProxy_Close(i); });
        connect(proxy, &net::Endpoint::Error, this,
            [this, i](int, const QString &description) { wsProxy_Error(i, description); });
        connect(proxy, &net::Endpoint::Connected, this, [this, i] { wsProxy_Connect(i); });
        connect(proxy, &net::Endpoint::SendProgress, this,
            [this, i](qint64 queued) { onProxyDrained(i, queued); });

        connect(outbound, &net::Endpoint::DataArrival, this,
            [this, i](qint64 total) { wsOutbound_DataArrival(i, total); });
        connect(outbound, &net::Endpoint::Closed, this, [this, i] { wsOutbound_Close(i); });
        connect(outbound, &net::Endpoint::Error, this,
            [this, i](int, const QString &description) { wsOutbound_Error(i, description); });
        connect(outbound, &net::Endpoint::Connected, this, [this, i] { wsOutbound_Connect(i); });
        connect(outbound, &net::Endpoint::SendProgress, this,
            [this, i](qint64 queued) { onOutboundDrained(i, queued); });
    }
}

Relay::~Relay() = default;

Relay::Slot &Relay::slot(int i)
{
    return m_slots->at(static_cast<size_t>(i));
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
        Q_EMIT LogLine(
            slotTag("Proxy", i) + QLatin1StringView("Connection Request from ") + address);
        slot(i) = Slot {};
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
    Slot &s = slot(i);
    if (s.connecting) {
        // The client did not wait for its grant. Its bytes belong to the destination, in order,
        // right after the grant; hold them, within a bound.
        s.early += chunk;
        if (s.early.size() >= EarlyDataLimit)
            wsProxy(i).PauseReading();
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
        wsProxy(i).SendData(socks4::rejection());
        return;
    case socks4::DecodeStatus::TooLong:
        Q_EMIT LogLine(slotTag("Proxy", i) + QLatin1StringView("Error: SOCKS4 user id too long"));
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
        wsProxy(i).PauseReading();
    if (!wsOutbound(i).Connect(request.address, request.port))
        wsOutbound_Error(i, QStringLiteral("Destination connection already in use"));
}

void Relay::wsOutbound_Connect(int i)
{
    Q_EMIT LogLine(slotTag("Outbound", i) + QLatin1StringView("Connected"));
    net::Endpoint &outbound = wsOutbound(i);
    wsProxy(i).SendData(
        socks4::grant(static_cast<quint16>(outbound.RemotePort()), outbound.RemoteHostIP()));
    Slot &s = slot(i);
    s.connecting = false;
    if (!s.early.isEmpty()) {
        outbound.SendData(s.early);
        s.early.clear();
    }
    if (outbound.BytesToSend() <= ResumeBelow)
        wsProxy(i).ResumeReading();
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
    Q_EMIT LogLine(slotTag("Proxy", i) + QLatin1StringView("Connection Closed"));
    closeSlot(i);
}

void Relay::wsOutbound_Close(int i)
{
    Q_EMIT LogLine(slotTag("Outbound", i) + QLatin1StringView("Connection Closed"));
    closeSlot(i);
}

void Relay::wsProxy_Error(int i, const QString &description)
{
    Q_EMIT LogLine(slotTag("Proxy", i) + QLatin1StringView("Error: ") + description);
    closeSlot(i);
}

void Relay::wsOutbound_Error(int i, const QString &description)
{
    const Slot &s = slot(i);
    if (s.connecting) {
        // Tell a waiting client that its destination cannot be reached (reply code 91) before
        // its connection is closed; the close still delivers these bytes.
        wsProxy(i).SendData(socks4::failure(s.port, s.address));
    }
    Q_EMIT LogLine(slotTag("Outbound", i) + QLatin1StringView("Error: ") + description);
    closeSlot(i);
}

void Relay::wsProxy_Connect(int i)
{
    Q_EMIT LogLine(slotTag("Proxy", i) + QLatin1StringView("Connected"));
}

void Relay::closeSlot(int i)
{
    // Destination side first: the client endpoint closing is what frees the slot, so a slot
    // is never handed out while its destination connection still stands.
    wsOutbound(i).Close();
    wsProxy(i).Close();
    slot(i) = Slot {};
}

// --- Flow control ---------------------------------------------------------------------------

void Relay::forward(net::Endpoint &from, net::Endpoint &to, qint64 bytesTotal)
{
    from.TransferTo(to, bytesTotal);
    // A slow reader on one side holds back the other side instead of growing our queue.
    if (to.BytesToSend() > PauseAbove)
        from.PauseReading();
}

void Relay::onProxyDrained(int i, qint64 queued)
{
    if (queued <= ResumeBelow && wsOutbound(i).State() == net::Endpoint::sckConnected)
        wsOutbound(i).ResumeReading();
}

void Relay::onOutboundDrained(int i, qint64 queued)
{
    if (queued <= ResumeBelow && !slot(i).connecting
        && wsProxy(i).State() == net::Endpoint::sckConnected)
        wsProxy(i).ResumeReading();
}

} // namespace relay
