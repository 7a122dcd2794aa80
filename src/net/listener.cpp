#include "listener.h"

#include "sockaddr.h"

#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace net {

namespace {

/// How many connections one wake-up accepts, so that a flood cannot starve the slots.
constexpr int AcceptBatch = 32;
/// How long accepting rests after the system refused a new descriptor.
constexpr int RetryMs = 100;

int listeningSocket(int family, quint16 port, int &error)
{
    const int fd = ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = errno;
        return -1;
    }
    const int one = 1;
    const int zero = 0;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
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
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace

Listener::Listener(Reactor &reactor, QObject *parent) : QObject(parent), m_reactor(reactor)
{
    m_retry.setSingleShot(true);
    m_retry.setInterval(RetryMs);
    connect(&m_retry, &QTimer::timeout, this, [this] {
        if (m_fd >= 0)
            m_reactor.watch(m_watch, m_fd, Reactor::Read);
    });
}

Listener::~Listener()
{
    Close();
}

quint16 Listener::LocalPort() const
{
    return m_fd >= 0 ? localOf(m_fd).port : m_localPort;
}

bool Listener::Listen()
{
    if (m_fd >= 0) {
        m_errorString = tr("The listener is already in use");
        return false;
    }
    int error = 0;
    m_fd = listeningSocket(AF_INET6, m_localPort, error);
    // Without IPv6 (no such family, or no such address on this machine) IPv4 still works.
    if (m_fd < 0 && (error == EAFNOSUPPORT || error == EADDRNOTAVAIL || error == EPROTONOSUPPORT))
        m_fd = listeningSocket(AF_INET, m_localPort, error);
    if (m_fd < 0) {
        m_errorString = error == EADDRINUSE ? tr("The bound address is already in use")
            : error == EACCES               ? tr("The address is protected")
                                            : QString::fromLocal8Bit(std::strerror(error));
        return false;
    }
    m_errorString.clear();
    m_reactor.watch(m_watch, m_fd, Reactor::Read);
    return true;
}

void Listener::Close()
{
    m_retry.stop();
    if (m_fd < 0)
        return;
    m_reactor.unwatch(m_watch);
    ::close(std::exchange(m_fd, -1));
}

void Listener::socketReady(bool)
{
    for (int k = 0; k < AcceptBatch && m_fd >= 0; ++k) {
        const int fd = ::accept4(m_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                // Level-triggered, the waiting client would wake us at once again: rest.
                m_reactor.watch(m_watch, m_fd, Reactor::None);
                m_retry.start();
                Q_EMIT Error(QString::fromLocal8Bit(std::strerror(errno)));
            }
            return; // EAGAIN, or a client that left before it was accepted
        }
        const SocketAddress peer = peerOf(fd);
        Incoming request { fd, peer.host, peer.port };
        if (!peer.host.isNull())
            Q_EMIT ConnectionRequest(request);
        if (request.fd >= 0)
            ::close(request.fd);
    }
}

} // namespace net
