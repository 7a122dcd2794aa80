#pragma once

#include "events.h"
#include "access.h"
#include "handshake.h"
#include "httpconnection.h"
#include "udpassociate.h"

#include "net/connector.h"
#include "net/stream.h"

#include <QObject>
#include <chrono>

namespace relay {

/// One of the relay's slots: the client's stream (wsProxy), the destination's (wsOutbound), the
/// connector that opens the latter, and the handshake between them. It serves one client at a
/// time from the handshake to the end: relays both ways with flow control, passes each side's
/// end (FIN) on to the other while the other direction goes on, and ends when both directions
/// have ended, or at once when either side resets or fails. What happens is reported as events
/// (Reported); its connection as it stands is info().
class Slot final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Slot)

public:
    enum class Phase {
        Free,
        Requesting, ///< client admitted, its request not complete yet
        Connecting, ///< request decoded, destination resolving or connecting
        Relaying,
    };
    using Clock = std::chrono::steady_clock;

    /// Client bytes held while the destination is still connecting; past this the client is not
    /// read until the grant.
    static constexpr qsizetype EarlyDataLimit = 64 * 1024;
    /// Rounds of splicing per direction each time a side is ready: a fast stream moves much
    /// with each wake-up, and a slot that is ready again is served after the others.
    static constexpr int RoundsPerWake = 16;

    Slot(int index, net::Reactor &reactor, net::Lingerer &lingerer, net::Resolver &resolver,
        const Access &access, QObject *parent = nullptr);

    net::Stream &wsProxy() { return m_client; }
    net::Stream &wsOutbound() { return m_destination; }
    bool isFree() const { return m_client.State() == net::sckClosed; }
    Phase phase() const { return m_phase; }
    /// When the current phase began; while relaying, when the sweep last saw bytes go.
    Clock::time_point since() const { return m_since; }
    /// Whether bytes went either way since the last call (the relay's sweep asks).
    bool takeActive(Clock::time_point now);
    bool hasQueued() const { return m_client.bytesToSend() > 0 || m_destination.bytesToSend() > 0; }
    /// The connection served: its state and byte counts as they stand now.
    ConnectionInfo info() const;
    quint64 id() const { return m_info.id; }

    /// Serves a client on this free slot: its socket, what it sent while it waited, and who it
    /// is (id, address, when it came, the user it logged in as); auth: how it negotiates.
    void Accept(net::Socket socket, const QByteArray &received, ConnectionInfo client,
        Handshake::Auth auth = Handshake::Auth::Open);
    /// Ends the connection at once (a limit ran out, room for a waiting client, the operator).
    void closeFor(EndReason reason);
    /// The connect limit ran out: the client is told, as for any destination failure.
    void connectTimedOut();
    /// How long a UDP association lives without a datagram, from the next one on.
    void setUdpIdleLimit(std::chrono::milliseconds limit) { m_udp.setIdleLimit(limit); }

Q_SIGNALS:
    void Reported(const relay::Event &event);
    /// Both sides are closed: the slot may serve the next client.
    void Freed();

private:
    friend class HttpConnection; // serves HTTP clients with this slot's streams and state

    void wsProxy_DataArrival(qint64 bytesTotal);
    void HandleRequest(const QByteArray &chunk);
    void associate();
    void wsOutbound_Connect();
    void wsOutbound_ConnectFailed(int error, const QString &description);
    bool guardAllows(const QHostAddress &address, quint16 port);
    void wsOutbound_DataArrival();
    void wsProxy_Close();
    void wsOutbound_Close();
    void wsProxy_Error(const QString &description);
    void wsOutbound_Error(const QString &description);

    void pump(net::Stream &from, net::Stream &to);
    struct Direction;
    void drained(Direction &d, net::Stream &from, net::Stream &to);
    void updateReading();
    void enter(Phase phase);
    void report(Event::Kind kind, const QString &error = {}, EndReason reason = {},
        Refusal refusal = Refusal::None);
    void sendReply(const QByteArray &reply);
    /// The guard refused every address of the destination: reports it, and says which rule.
    Refusal reportForbidden();
    void closeSlot(EndReason reason, const QString &error = {}, Refusal refusal = Refusal::None);

    /// One direction of the relay: whether its source has ended, and whether it is held back
    /// because its target is full.
    struct Direction
    {
        bool ended = false;
        bool logged = false; ///< the source's closing line is written
        bool held = false;
    };

    const int m_index;
    const Access &m_access;
    net::Stream m_client;
    net::Stream m_destination;
    net::Connector m_connector;
    Handshake m_handshake;
    HttpConnection m_http { *this };
    UdpAssociate m_udp; ///< open while the client's request is a UDP association
    Phase m_phase = Phase::Free;
    Clock::time_point m_since;
    QByteArray m_early; ///< client bytes after the request, before the grant
    Direction m_up; ///< client to destination
    Direction m_down; ///< destination to client
    bool m_active = false;
    ConnectionInfo m_info; ///< who is served; the counts and the state are filled in by info()
    qint64 m_replyBytes = 0; ///< the proxy's own replies to the client, not counted as payload
};

} // namespace relay
