#pragma once

#include "events.h"
#include "access.h"
#include "slot.h"
#include "stranger.h"

#include "acl/allowlist.h"
#include "net/lingerer.h"
#include "net/listener.h"
#include "net/pendingconnection.h"
#include "net/reactor.h"
#include "net/resolver.h"

#include <QObject>
#include <QTimer>
#include <array>
#include <chrono>
#include <deque>
#include <memory>

namespace relay {

/// The SOCKS proxy: the listener, admission by the allow-list, sixteen slots and the line of
/// clients waiting for one, and the sweep that enforces the time limits. Its services (the
/// reactor that watches every socket and the lingering close) are its own members, handed to
/// everything that needs them. What happens is reported as events (Reported), and snapshot()
/// tells how every connection stands; the relay writes no text for people and never touches a
/// widget.
class Relay final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Relay)

public:
    static constexpr int SlotCount = 16;
    /// Allowed clients that arrive while every slot is busy wait, in order, up to this many.
    static constexpr int MaxWaiting = 64;
    /// Clients not on the allow-list logging in at once (outside the slots and the line).
    static constexpr int MaxStrangers = 64;
    /// How long such a client has to log in.
    static constexpr std::chrono::milliseconds LoginTimeout { 10'000 };
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
        /// A closed connection whose peer acknowledges nothing for this long is reset.
        std::chrono::milliseconds linger = net::Lingerer::Limits {}.idle;
        /// A UDP association without a datagram either way for this long ends.
        std::chrono::milliseconds udpIdle = UdpAssociation::IdleLimit;
        std::chrono::milliseconds login = LoginTimeout;
    };
    /// Serves the clients that `allowed` admits, asked at every connection request; names are
    /// looked up by the system's resolver, or by `resolver`.
    explicit Relay(const acl::AllowList &allowed, QObject *parent = nullptr);
    Relay(const acl::AllowList &allowed, net::Resolver &resolver, QObject *parent = nullptr);
    ~Relay() override;

    net::Listener &wsListener() { return m_listener; }
    net::Stream &wsProxy(int i) { return slot(i).wsProxy(); }
    int busySlots() const;
    /// Clients waiting for a free slot.
    qsizetype waitingCount() const { return static_cast<qsizetype>(m_waiting.size()); }
    /// Clients logging in.
    qsizetype strangerCount() const { return static_cast<qsizetype>(m_strangers.size()); }
    /// Takes effect for slots already busy too.
    void setTimeouts(const Timeouts &timeouts);
    /// The users who may log in and the guard, from the next client on (none by default).
    void setAccess(const Access &access) { m_access = access; }
    const Access &access() const { return m_access; }

    /// Every busy slot and every waiting client, the totals since start and the recent endings.
    /// Costs nothing until asked: the counts are the streams' own.
    Snapshot snapshot() const;
    /// Ends the connection with this id (from a snapshot) at once, as a reset would; nothing
    /// when it has ended already.
    void Disconnect(quint64 id);

Q_SIGNALS:
    void Reported(const relay::Event &event);

private:
    void start();
    Slot &slot(int i) { return *m_slots.at(static_cast<size_t>(i)); }
    const Slot &slot(int i) const { return *m_slots.at(static_cast<size_t>(i)); }

    /// A client in line for a slot, and who it is.
    struct Waiting
    {
        std::unique_ptr<net::PendingConnection> connection;
        ConnectionInfo info;
        Handshake::Auth auth = Handshake::Auth::Open;
        QByteArray received; ///< before it came into line (after a login)
    };

    void wsListener_ConnectionRequest(net::Incoming request);
    void wsListener_Error(const QString &description);
    ConnectionInfo arrival(const net::Incoming &request);
    void admit(int i, net::Socket socket, ConnectionInfo client, const QByteArray &received,
        Handshake::Auth auth);
    /// Serves a client at once when a slot is free and nobody waits, else puts it in line.
    void serveOrQueue(net::Socket socket, ConnectionInfo client, const QByteArray &received,
        Handshake::Auth auth);
    void welcomeStranger(net::Incoming request);
    void strangerGone(Stranger *stranger, bool loggedIn);
    void slotReported(const Event &event);
    void ended(const Event &event);
    void serveWaiting();
    void forget(net::PendingConnection *waiting, EndReason reason);
    void slotFreed();
    void sweep();
    void makeRoom(int freeSlots, Slot::Clock::time_point now);

    const acl::AllowList &m_allowed;
    net::HostResolver m_hostResolver; ///< used unless another resolver is given
    net::Resolver &m_resolver;
    Access m_access;
    // The services first: everything below is watched by the reactor and lingers through the
    // lingerer, so they are made before it and destroyed after it.
    net::Reactor m_reactor;
    net::Lingerer m_lingerer { m_reactor };
    net::Listener m_listener { m_reactor };
    std::array<std::unique_ptr<Slot>, SlotCount> m_slots;
    std::deque<Waiting> m_waiting; ///< oldest first
    std::vector<std::unique_ptr<Stranger>> m_strangers;
    bool m_servePosted = false;
    Timeouts m_timeouts;
    QTimer m_sweep;
    quint64 m_lastId = 0;
    Totals m_totals; ///< bytes: of the connections that have ended
    std::vector<EndedConnection> m_recent; ///< a ring of Snapshot::RecentCount
    size_t m_recentNext = 0; ///< where the next ending goes once the ring is full
};

} // namespace relay
