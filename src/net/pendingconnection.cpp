#include "pendingconnection.h"

#include <cerrno>
#include <sys/socket.h>

namespace net {

PendingConnection::PendingConnection(
    Reactor &reactor, Socket socket, const QHostAddress &host, QObject *parent)
    : QObject(parent), m_socket(std::move(socket)), m_watch(reactor, this), m_host(host)
{
    m_watch.watch(m_socket, Reactor::Read);
}

PendingConnection::~PendingConnection() = default;

Socket PendingConnection::take(QByteArray &received)
{
    received = std::exchange(m_received, {});
    // For the stream that serves it: the registration goes along, taken over in one call.
    return m_watch.isWatching() ? m_watch.handOver() : std::move(m_socket);
}

void PendingConnection::socketReady(bool)
{
    const qsizetype room = KeepLimit - m_received.size();
    if (room <= 0 || m_ended) {
        // Not read any more (full, or ended): only an error or a hang-up brings us here. A
        // reset is a departure; a hang-up with bytes still unread may yet be served.
        int error = 0;
        socklen_t length = sizeof error;
        ::getsockopt(m_socket.fd(), SOL_SOCKET, SO_ERROR, &error, &length);
        m_watch.unwatch();
        if (error != 0)
            Q_EMIT Closed();
        return;
    }
    char buffer[4096];
    const ssize_t n = ::recv(m_socket.fd(), buffer,
        static_cast<size_t>(qMin<qsizetype>(sizeof buffer, room)), MSG_DONTWAIT);
    const int error = n < 0 ? errno : 0;
    if (n > 0) {
        m_received.append(buffer, n);
        // Full: leave the rest in the socket, where TCP holds the client back; a reset is
        // still reported.
        if (m_received.size() >= KeepLimit)
            m_watch.watch(m_socket, Reactor::None);
        return;
    }
    if (n < 0 && (error == EAGAIN || error == EINTR))
        return;
    if (n == 0 && !m_received.isEmpty()) {
        // It ended its sending after what may be its whole request (and data): a half-close,
        // not a departure; it still waits for its answer. A reset is still reported.
        m_ended = true;
        m_watch.watch(m_socket, Reactor::None);
        return;
    }
    m_watch.unwatch();
    Q_EMIT Closed();
}

} // namespace net
