#include "pendingconnection.h"

#include <cerrno>
#include <sys/socket.h>
#include <unistd.h>

namespace net {

PendingConnection::PendingConnection(
    Reactor &reactor, int fd, const QHostAddress &host, QObject *parent)
    : QObject(parent), m_reactor(reactor), m_fd(fd), m_host(host)
{
    m_reactor.watch(m_watch, m_fd, Reactor::Read);
}

PendingConnection::~PendingConnection()
{
    if (m_fd >= 0) {
        m_reactor.unwatch(m_watch);
        ::close(m_fd);
    }
}

int PendingConnection::take(QByteArray &received)
{
    m_reactor.release(m_watch); // for the stream that serves it
    received = std::exchange(m_received, {});
    return std::exchange(m_fd, -1);
}

void PendingConnection::socketReady(bool)
{
    char buffer[4096];
    const qsizetype room = qMin<qsizetype>(sizeof buffer, KeepLimit - m_received.size());
    const ssize_t n = room > 0 ? ::recv(m_fd, buffer, static_cast<size_t>(room), MSG_DONTWAIT) : 0;
    if (n > 0) {
        m_received.append(buffer, n);
        // Full: leave the rest in the socket, where TCP holds the client back; a reset is
        // still reported.
        if (m_received.size() >= KeepLimit)
            m_reactor.watch(m_watch, m_fd, Reactor::None);
        return;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return;
    if (n == 0 && !m_received.isEmpty() && !std::exchange(m_ended, true)) {
        // It ended its sending after what may be its whole request (and data): a half-close,
        // not a departure; it still waits for its answer. A reset is still reported.
        m_reactor.watch(m_watch, m_fd, Reactor::None);
        return;
    }
    if (room <= 0) {
        int error = 0;
        socklen_t length = sizeof error;
        ::getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &error, &length);
        if (error == 0) {
            m_reactor.unwatch(m_watch); // a hang-up with bytes still unread: it may yet be served
            return;
        }
    }
    m_reactor.unwatch(m_watch);
    Q_EMIT Closed();
}

} // namespace net
