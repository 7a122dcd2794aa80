#pragma once

#include "reactor.h"
#include "socket.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QHostAddress>
#include <QObject>
#include <QString>

namespace net {

/// One non-blocking UDP socket, bound to one address of one family, watched by the reactor.
/// Every datagram that arrives is raised whole with its source; SendData() hands one datagram
/// to the kernel or drops it (UDP keeps no queue: a full socket buffer loses the datagram).
class DatagramSocket final : public QObject, private Reactor::Watcher
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(DatagramSocket)

public:
    /// Room for the largest UDP payload over IPv6 without jumbograms (and so over IPv4).
    static constexpr qsizetype MaxDatagram = 65527;
    /// How many datagrams one wake-up reads, so that a flood cannot starve other sockets.
    static constexpr int ReadBatch = 64;

    explicit DatagramSocket(Reactor &reactor, QObject *parent = nullptr);
    ~DatagramSocket() override;

    /// Opens a socket of the address's family (an IPv4-mapped address counts as IPv4) bound to
    /// address:port (port 0: one the system picks) and starts reading. False, with
    /// ErrorString(), if it cannot; a socket already open is closed first.
    bool Bind(const QHostAddress &address, quint16 port = 0);
    bool isOpen() const { return m_socket.isOpen(); }
    /// The bound address (plain IPv4 for IPv4) and port.
    QHostAddress LocalHost() const { return m_localHost; }
    quint16 LocalPort() const { return m_localPort; }
    /// IPv4 or IPv6, by what Bind() was given; the family every destination must be of.
    QAbstractSocket::NetworkLayerProtocol family() const;
    QString ErrorString() const { return m_errorString; }

    /// Sends one datagram to to:port (IPv4-mapped addresses are sent as IPv4). False when the
    /// socket is closed, of the other family, full, or the kernel refused the datagram.
    bool SendData(const QHostAddress &to, quint16 port, QByteArrayView datagram);
    void Close();

Q_SIGNALS:
    /// One datagram arrived from from:port (plain IPv4 for IPv4).
    void DataArrival(const QByteArray &datagram, const QHostAddress &from, quint16 port);

private:
    void socketReady(bool writable) override;

    Reactor &m_reactor;
    Socket m_socket;
    Reactor::Watch m_watch { m_reactor, this };
    bool m_ipv6 = false;
    QHostAddress m_localHost;
    quint16 m_localPort = 0;
    quint64 m_generation = 0;
    QString m_errorString;
};

} // namespace net
