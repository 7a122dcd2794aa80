#pragma once

#include <QHostAddress>
#include <QString>

#include <sys/socket.h>

/// Socket addresses between the kernel's form and Qt's, and the words for a failed connect.
namespace net {

/// An address as people and the allow-list see it: an IPv4 client reached over a dual-stack
/// socket (::ffff:10.0.0.5) is plain IPv4 (10.0.0.5).
QHostAddress plain(const QHostAddress &address);

struct SocketAddress
{
    QHostAddress host; ///< plain(); null when the call failed
    quint16 port = 0;
};
/// The peer's and the local end of a socket.
SocketAddress peerOf(int fd);
SocketAddress localOf(int fd);
/// An address the kernel gave (accept, getpeername), as plain() has it.
SocketAddress fromSockaddr(const sockaddr_storage &address);

/// The kernel's form of host:port, for connect() and bind(); returns its length.
socklen_t toSockaddr(const QHostAddress &host, quint16 port, sockaddr_storage &out);

/// What a failed connection attempt (an errno) is called in the status log.
QString connectErrorText(int error);

} // namespace net
