#pragma once

#include "net/endpoint.h"

#include <QByteArray>
#include <QObject>
#include <QTimer>
#include <array>
#include <chrono>
#include <deque>
#include <functional>
#include <memory>

namespace net {
class PendingConnection;
}

namespace relay {

/// The SOCKS4 proxy: the listening endpoint, sixteen slots of a client endpoint (wsProxy) and a
/// destination endpoint (wsOutbound), admission, the handshake, relaying and teardown. Every
/// event is logged through LogLine; the relay never touches a widget.
class Relay final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Relay)

public:
    static constexpr int SlotCount = 16;
    /// Allowed clients that arrive while every slot is busy wait, in order, up to this many.
    static constexpr int MaxWaiting = 64;
    /// How long a client has to send its whole request once it has a slot, and how long a
    /// destination may take to resolve and connect.
    static constexpr std::chrono::milliseconds RequestTimeout { 30'000 };
    static constexpr std::chrono::milliseconds ConnectTimeout { 30'000 };
    /// How often those limits are checked: one coarse sweep over the slots, not a timer each.
    static constexpr std::chrono::milliseconds SweepInterval { 1'000 };
    /// While clients wait and every slot is busy, a relaying connection that has carried nothing
    /// either way for this long is closed to make room. Browsers keep finished connections open
    /// for reuse; without this, sixteen of them would lock every later request out.
    static constexpr std::chrono::milliseconds IdleTimeout { 5'000 };
    struct Timeouts
    {
        std::chrono::milliseconds request = RequestTimeout;
        std::chrono::milliseconds connect = ConnectTimeout;
        std::chrono::milliseconds sweep = SweepInterval;
        std::chrono::milliseconds idle = IdleTimeout;
    };
    /// Client bytes held while the destination is still connecting; past this the client's
    /// reading pauses until the grant.
    static constexpr qsizetype EarlyDataLimit = 64 * 1024;
    /// Flow control: a side stops being read while the other side's send queue is above
    /// PauseAbove, and is read again once that queue is down to ResumeBelow.
    static constexpr qint64 PauseAbove = 256 * 1024;
    static constexpr qint64 ResumeBelow = 64 * 1024;
    /// Tells whether a client address is on the allow-list (asked at every connection request).
    using AdmitFn = std::function<bool(const QString &address)>;

    explicit Relay(AdmitFn admits, QObject *parent = nullptr);
    ~Relay() override;

    net::Endpoint &wsListener() { return m_listener; }
    net::Endpoint &wsProxy(int i);
    net::Endpoint &wsOutbound(int i);
    /// Clients waiting for a free slot.
    qsizetype waitingCount() const { return static_cast<qsizetype>(m_waiting.size()); }
    /// Takes effect for slots already waiting too.
    void setTimeouts(const Timeouts &timeouts);

Q_SIGNALS:
    void LogLine(const QString &line);

private:
    struct Slot;

    void wsListener_ConnectionRequest(qintptr requestID);
    void wsListener_Close();
    void wsListener_Connect();
    void wsListener_Error(const QString &description);

    void wsProxy_DataArrival(int i, qint64 bytesTotal);
    void HandleRequest(int i, const QByteArray &chunk);
    void wsOutbound_Connect(int i);

    void wsOutbound_DataArrival(int i, qint64 bytesTotal);
    void wsProxy_Close(int i);
    void wsOutbound_Close(int i);
    void wsProxy_Error(int i, const QString &description);
    void wsOutbound_Error(int i, const QString &description);
    void wsProxy_Connect(int i);

    void admit(int i, qintptr requestID, const QString &address);
    void serveWaiting();
    void forget(net::PendingConnection *waiting);
    void sweep();
    void makeRoom(int freeSlots, std::chrono::steady_clock::time_point now);
    void closeSlot(int i);
    void forward(net::Endpoint &from, net::Endpoint &to, qint64 bytesTotal);
    void logSlot(const char *side, int i, const QString &text);

    AdmitFn m_admits;
    net::Endpoint m_listener;
    std::unique_ptr<std::array<Slot, SlotCount>> m_slots;
    std::deque<net::PendingConnection *> m_waiting; ///< children of this relay, oldest first
    bool m_servePosted = false;
    Timeouts m_timeouts;
    QTimer m_sweep;
};

} // namespace relay
