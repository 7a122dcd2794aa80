#pragma once

#include "access.h"
#include "events.h"
#include "udprelay.h"

#include "net/resolver.h"

#include <QObject>

#include <chrono>
#include <vector>

namespace net {
class Stream;
} // namespace net

namespace relay {

/// A slot's UDP ASSOCIATE command: the UDP relay (UdpRelay) for the client whose TCP connection
/// asked for it, wired to the relay's resolver and guard. The slot keeps the TCP connection and
/// delegates the rest: the reply, the counts for the snapshot, the activity the idle rule looks
/// at, and the end.
class UdpAssociate final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(UdpAssociate)

public:
    UdpAssociate(net::Reactor &reactor, net::Resolver &resolver, const Access &access,
        QObject *parent = nullptr);
    ~UdpAssociate() override;

    /// How long an association lives without a datagram either way, from the next Start() on.
    void setIdleLimit(std::chrono::milliseconds limit) { m_relay.setIdleLimit(limit); }

    /// Starts relaying for the client of `tcp` (its TCP connection to the proxy), which asked
    /// with `hint` (the request's DST): the UDP socket is bound to the address the client reached
    /// the proxy at. Returns the reply: succeeded with BND, or a general failure (then
    /// ErrorString() says why and nothing is open).
    QByteArray Start(const net::Stream &tcp, const Destination &hint);
    bool isOpen() const { return m_open; }
    QString ErrorString() const { return m_relay.ErrorString(); }
    QHostAddress LocalHost() const { return m_relay.LocalHost(); }
    quint16 LocalPort() const { return m_relay.LocalPort(); }
    /// `info` with the association's datagrams and payload bytes each way, and its relay address
    /// (BND) as the connected address.
    ConnectionInfo counted(ConnectionInfo info) const;
    /// Whether a datagram went either way since the last call.
    bool takeActive();
    /// Closes the sockets and gives up the look-ups; nothing is raised after this.
    void Close();

Q_SIGNALS:
    /// No datagram either way for the idle limit.
    void Expired();

private:
    void resolve(const QByteArray &name, UdpAssociation::Resolved answer);
    bool allowed(const QHostAddress &to, quint16 port) const;

    net::Resolver &m_resolver;
    const Access &m_access;
    UdpRelay m_relay;
    bool m_open = false;
    QHostAddress m_client; ///< for the guard
    quint16 m_listenPort = 0; ///< the proxy's own port, for the guard
    std::vector<int> m_lookups; ///< the resolver's ids of look-ups not answered yet
    qint64 m_seen = 0; ///< datagrams either way at the last takeActive()
};

} // namespace relay
