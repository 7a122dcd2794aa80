#pragma once

#include "events.h"
#include "udpheader.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QHostAddress>
#include <QList>

#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <vector>

namespace relay {

/// The rules of one UDP association, without sockets: which datagrams from the client are taken
/// and where they go, which answers go back and how they are wrapped, the names it resolves and
/// keeps, its idle time and its counts. The owner reads the sockets and hands every datagram
/// in; the association calls back to send, to resolve and to ask the guard.
class UdpAssociation final
{
public:
    using Clock = std::chrono::steady_clock;
    /// How long an association lives without a datagram either way.
    static constexpr std::chrono::seconds IdleLimit { 120 };
    /// Names kept per association (the oldest is forgotten first); results that found no address
    /// are kept too, so a stream of datagrams to a bad name costs one look-up.
    static constexpr int NameCacheSize = 64;
    /// Names being looked up at once; a datagram for a further name is dropped.
    static constexpr int MaxLookups = 8;
    /// Datagrams (all names together) and their bytes held while their names are looked up.
    static constexpr int MaxQueued = 32;
    static constexpr qsizetype MaxQueuedBytes = 256 * 1024;

    /// Answers a look-up with the name's addresses in the resolver's order (none: not found).
    using Resolved = std::function<void(const QList<QHostAddress> &addresses)>;

    struct Services
    {
        /// Sends a payload to a destination (plain IPv4 or IPv6): false if it could not be sent.
        std::function<bool(const QHostAddress &to, quint16 port, QByteArrayView payload)>
            sendToDestination;
        /// Sends a wrapped answer to the client: false if it could not be sent.
        std::function<bool(const QHostAddress &to, quint16 port, QByteArrayView datagram)>
            sendToClient;
        /// Looks a name up without blocking; the answer may come later or within the call.
        std::function<void(const QByteArray &name, Resolved answer)> resolve;
        /// Whether the client may send to this destination (the guard).
        std::function<bool(const QHostAddress &to, quint16 port)> allowed;
        std::function<Clock::time_point()> now;
        /// How long the association lives without a datagram either way.
        Clock::duration idleLimit = IdleLimit;
    };

    enum class Verdict : quint8 {
        Sent,
        Queued, ///< waits for its name's look-up
        Foreign, ///< not from the client's address and port
        BadHeader, ///< see Outcome::header
        Refused, ///< the guard refuses its destination
        Unresolved, ///< its name has no address
        Busy, ///< too many look-ups or too much queued already
        NotSent, ///< the socket did not take it (or its port is 0)
    };
    struct Outcome
    {
        Verdict verdict = Verdict::Sent;
        socks5udp::Status header = socks5udp::Status::Ok;
    };

    struct Counters
    {
        qint64 datagramsUp = 0; ///< client to destinations, as sent
        qint64 datagramsDown = 0;
        qint64 bytesUp = 0; ///< payload bytes, without the SOCKS header
        qint64 bytesDown = 0;
    };

    /// The client's port as the request's DST names it: the port of a hint that names no one
    /// (0.0.0.0, ::, the name "0") or the client itself; 0 (to be pinned by the first datagram)
    /// for any other address, such as the client's own address behind a NAT.
    static quint16 clientPortFrom(const Destination &hint, const QHostAddress &client);

    /// `client` is the address of the client's TCP connection; `clientPort` from clientPortFrom().
    UdpAssociation(const QHostAddress &client, quint16 clientPort, Services services);
    ~UdpAssociation();
    UdpAssociation(const UdpAssociation &) = delete;
    UdpAssociation &operator=(const UdpAssociation &) = delete;

    /// A datagram that reached the client-facing socket from `from`:`port`.
    Outcome fromClient(const QHostAddress &from, quint16 port, QByteArrayView datagram);
    /// A datagram that reached a destination-facing socket: wrapped and sent to the client.
    /// False when dropped (no client port known yet, or not sent).
    bool fromDestination(const QHostAddress &from, quint16 port, QByteArrayView payload);

    QHostAddress clientAddress() const { return m_client; }
    quint16 clientPort() const { return m_clientPort; } ///< 0 until pinned
    const Counters &counters() const { return m_counters; }
    /// When the association expires unless a datagram comes or goes before.
    Clock::time_point deadline() const { return m_lastActivity + m_services.idleLimit; }
    bool isExpired() const { return m_services.now() >= deadline(); }

private:
    struct CachedName
    {
        QByteArray name;
        QHostAddress address; ///< null: the name has no address
    };
    struct Waiting
    {
        QByteArray name;
        quint16 port;
        QByteArray payload;
    };

    Outcome sendTo(const QHostAddress &address, quint16 port, QByteArrayView payload);
    void lookedUp(const QByteArray &name, const QList<QHostAddress> &addresses);
    const CachedName *cached(const QByteArray &name) const;

    QHostAddress m_client;
    quint16 m_clientPort;
    Services m_services;
    Counters m_counters;
    Clock::time_point m_lastActivity;
    std::deque<CachedName> m_names; ///< oldest first
    std::vector<QByteArray> m_lookups; ///< names being looked up
    std::deque<Waiting> m_waiting;
    qsizetype m_waitingBytes = 0;
    /// Look-ups answered after the association has gone find it expired.
    std::shared_ptr<UdpAssociation *> m_self;
};

} // namespace relay
