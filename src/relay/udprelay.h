#pragma once

#include "events.h"
#include "udpassociation.h"

#include "net/datagram.h"

#include <QObject>
#include <QTimer>

#include <memory>

namespace relay {

/// The sockets of one UDP association around its rules (UdpAssociation): the client-facing
/// socket, bound to the address the client reached the proxy at, and one socket per family
/// towards destinations, each opened when first needed. Raises Expired() after the idle limit.
class UdpRelay final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(UdpRelay)

public:
    struct Services
    {
        decltype(UdpAssociation::Services::resolve) resolve;
        decltype(UdpAssociation::Services::allowed) allowed; ///< the guard
    };

    UdpRelay(net::Reactor &reactor, Services services, QObject *parent = nullptr);
    ~UdpRelay() override;

    /// Starts relaying for `client` (the TCP client's address) that asked with `hint` (the
    /// request's DST), on a socket bound to `local`: the local address of the client's TCP
    /// connection. False, with ErrorString(), if that socket cannot be had.
    bool Start(const QHostAddress &client, const Destination &hint, const QHostAddress &local);
    /// BND of the reply: the client-facing socket's address and port.
    QHostAddress LocalHost() const { return m_toClient.LocalHost(); }
    quint16 LocalPort() const { return m_toClient.LocalPort(); }
    QString ErrorString() const { return m_toClient.ErrorString(); }
    /// The reply to the request: succeeded, BND as above (ATYP 1 for an IPv4 client, else 4).
    QByteArray reply() const;
    UdpAssociation::Counters counters() const;
    /// How long an association lives without a datagram either way, from the next Start() on.
    void setIdleLimit(std::chrono::milliseconds limit) { m_idleLimit = limit; }
    /// Closes every socket; nothing is raised after this.
    void Close();

Q_SIGNALS:
    /// No datagram either way for the idle limit.
    void Expired();

private:
    bool toDestination(const QHostAddress &to, quint16 port, QByteArrayView payload);
    void checkIdle();

    Services m_services;
    net::DatagramSocket m_toClient;
    net::DatagramSocket m_toIPv4, m_toIPv6; ///< towards destinations
    std::unique_ptr<UdpAssociation> m_rules;
    UdpAssociation::Clock::duration m_idleLimit = UdpAssociation::IdleLimit;
    QTimer m_idle;
};

} // namespace relay
