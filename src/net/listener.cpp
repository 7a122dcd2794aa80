#include "listener.h"

#include "sockaddr.h"

#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace net {

namespace {

/// How many connections one wake-up accepts, so that a flood cannot starve the slots.
constexpr int AcceptBatch = 32;
Socket listeningSocket(int family, quint16 port, int &error)
{
    Socket socket(::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!socket.isOpen()) {
        error = errno;
        return {};
    }
    const int fd = socket.fd();
    const int one = 1;
    const int zero = 0;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    // Accepted connections inherit it: no call per connection.
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_storage at {};
    socklen_t length = 0;
    if (family == AF_INET6) {
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof zero);
        length = toSockaddr(QHostAddress::AnyIPv6, port, at);
    } else {
        length = toSockaddr(QHostAddress::AnyIPv4, port, at);
    }
    if (::bind(fd, reinterpret_cast<const sockaddr *>(&at), length) != 0
        || ::listen(fd, SOMAXCONN) != 0) {
        error = errno;
        return {};
    }
    return socket;
}

} // namespace

Listener::Listener(Reactor &reactor, QObject *parent) : QObject(parent), m_reactor(reactor)
{
    m_watch.setLast(true);
    m_retry.setSingleShot(true);
    m_retry.setInterval(RetryMs);
    connect(&m_retry, &QTimer::timeout, this, [this] {
        if (m_socket.isOpen())
            m_watch.watch(m_socket, Reactor::Read);
    });
}

Listener::~Listener()
{
    Close();
}

quint16 Listener::LocalPort() const
{
    return m_socket.isOpen() ? m_boundPort : m_localPort;
}

bool Listener::Listen()
{
    if (m_socket.isOpen()) {
        m_errorString = tr("The listener is already in use");
        return false;
    }
    int error = 0;
    m_socket = listeningSocket(AF_INET6, m_localPort, error);
    // Without IPv6 (no such family, or no such address on this machine) IPv4 still works.
    if (!m_socket.isOpen()
        && (error == EAFNOSUPPORT || error == EADDRNOTAVAIL || error == EPROTONOSUPPORT))
        m_socket = listeningSocket(AF_INET, m_localPort, error);
    if (!m_socket.isOpen()) {
        m_errorString = error == EADDRINUSE ? tr("The bound address is already in use")
            : error == EACCES               ? tr("The address is protected")
                                            : QString::fromLocal8Bit(std::strerror(error));
        return false;
    }
    m_errorString.clear();
    m_boundPort = localOf(m_socket.fd()).port;
    m_starved = false;
    m_watch.watch(m_socket, Reactor::Read);
    return true;
}

void Listener::Close()
{
    m_retry.stop();
    m_watch.unwatch();
    m_socket.close();
}

void Listener::socketReady(bool)
{
    for (int k = 0; k < AcceptBatch && m_socket.isOpen(); ++k) {
        sockaddr_storage from {};
        socklen_t length = sizeof from;
        Socket accepted(::accept4(m_socket.fd(), reinterpret_cast<sockaddr *>(&from), &length,
            SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (!accepted.isOpen()) {
            const int error = errno;
            if (error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM) {
                // Level-triggered, the waiting client would wake us at once again: rest, and
                // say so once for the whole spell.
                m_watch.watch(m_socket, Reactor::None);
                m_retry.start();
                if (!std::exchange(m_starved, true))
                    Q_EMIT Error(QString::fromLocal8Bit(std::strerror(error)));
            }
            return; // EAGAIN, or a client that left before it was accepted
        }
        m_starved = false;
        const SocketAddress peer = fromSockaddr(from);
        if (!peer.host.isNull() && m_request)
            m_request(Incoming { std::move(accepted), peer.host, peer.port, m_boundPort });
    }
}

} // namespace net
