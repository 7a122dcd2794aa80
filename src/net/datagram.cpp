#include "datagram.h"

#include "sockaddr.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace net {

namespace {

/// An IPv4-mapped address as IPv4; every other address as it is (plain() would also make ::
/// into 0.0.0.0, which would give an IPv6 socket bound to any address the wrong family).
QHostAddress unmapped(const QHostAddress &address)
{
    const Q_IPV6ADDR a = address.toIPv6Address();
    const bool mapped = address.protocol() == QAbstractSocket::IPv6Protocol && a.c[10] == 0xff
        && a.c[11] == 0xff && std::all_of(a.c, a.c + 10, [](quint8 b) { return b == 0; });
    return mapped ? plain(address) : address;
}

} // namespace

DatagramSocket::DatagramSocket(Reactor &reactor, QObject *parent)
    : QObject(parent), m_reactor(reactor)
{ }

DatagramSocket::~DatagramSocket()
{
    Close();
}

QAbstractSocket::NetworkLayerProtocol DatagramSocket::family() const
{
    if (!m_socket.isOpen())
        return QAbstractSocket::UnknownNetworkLayerProtocol;
    return m_ipv6 ? QAbstractSocket::IPv6Protocol : QAbstractSocket::IPv4Protocol;
}

bool DatagramSocket::Bind(const QHostAddress &address, quint16 port)
{
    Close();
    const QHostAddress host = unmapped(address);
    sockaddr_storage at {};
    const socklen_t length = toSockaddr(host, port, at);
    const int fd = ::socket(at.ss_family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int error = fd < 0 ? errno : 0;
    if (fd >= 0 && at.ss_family == AF_INET6) {
        const int one = 1; // the IPv4 side has a socket of its own
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
    }
    if (fd >= 0 && ::bind(fd, reinterpret_cast<const sockaddr *>(&at), length) != 0) {
        error = errno;
        ::close(fd);
    }
    if (error != 0) {
        m_errorString = QString::fromLocal8Bit(std::strerror(error));
        return false;
    }
    m_socket = Socket(fd);
    m_ipv6 = at.ss_family == AF_INET6;
    const SocketAddress local = localOf(fd);
    m_localHost = local.host;
    m_localPort = local.port;
    m_errorString.clear();
    m_watch.watch(m_socket, Reactor::Read);
    return true;
}

bool DatagramSocket::SendData(const QHostAddress &to, quint16 port, QByteArrayView datagram)
{
    const QHostAddress host = unmapped(to);
    if (!m_socket.isOpen() || (host.protocol() == QAbstractSocket::IPv6Protocol) != m_ipv6)
        return false;
    sockaddr_storage at {};
    const socklen_t length = toSockaddr(host, port, at);
    ssize_t sent = -1;
    do
        sent = ::sendto(m_socket.fd(), datagram.data(), size_t(datagram.size()), MSG_NOSIGNAL,
            reinterpret_cast<const sockaddr *>(&at), length);
    while (sent < 0 && errno == EINTR);
    return sent == datagram.size();
}

void DatagramSocket::Close()
{
    if (!m_socket.isOpen())
        return;
    ++m_generation;
    m_watch.unwatch();
    m_socket.close();
    m_localHost.clear();
    m_localPort = 0;
}

void DatagramSocket::socketReady(bool)
{
    // A scratch buffer for every socket of the thread: each datagram is copied out of it before
    // it is raised, so nothing that a receiver does can touch it.
    thread_local const auto buffer = std::make_unique<char[]>(MaxDatagram + 1);
    const quint64 generation = m_generation;
    for (int k = 0; k < ReadBatch && m_generation == generation; ++k) {
        sockaddr_storage from {};
        socklen_t length = sizeof from;
        const ssize_t n = ::recvfrom(m_socket.fd(), buffer.get(), MaxDatagram + 1, 0,
            reinterpret_cast<sockaddr *>(&from), &length);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return; // EAGAIN; an error queued by an ICMP message is taken and forgotten
        }
        const QHostAddress host(reinterpret_cast<const sockaddr *>(&from));
        const quint16 port = ntohs(reinterpret_cast<const sockaddr_in *>(&from)->sin_port);
        Q_EMIT DataArrival(QByteArray(buffer.get(), n), plain(host), port);
    }
}

} // namespace net
