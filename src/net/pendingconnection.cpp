#include "pendingconnection.h"

#include <cerrno>
#include <utility>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace net {

PendingConnection::PendingConnection(qintptr requestID, const QString &address, QObject *parent)
    : QObject(parent), m_fd(::fcntl(static_cast<int>(requestID), F_DUPFD_CLOEXEC, 0)),
      m_address(address)
{
    if (m_fd < 0)
        return;
    m_notifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &PendingConnection::onReadable);
}

PendingConnection::~PendingConnection()
{
    if (m_fd >= 0) {
        delete m_notifier; // before its descriptor goes
        ::close(m_fd);
    }
}

QByteArray PendingConnection::takeReceived()
{
    return std::exchange(m_received, {});
}

void PendingConnection::onReadable()
{
    char buffer[4096];
    const qsizetype room = qMin<qsizetype>(sizeof buffer, KeepLimit - m_received.size());
    const ssize_t n = ::recv(m_fd, buffer, static_cast<size_t>(room), MSG_DONTWAIT);
    if (n > 0) {
        m_received.append(buffer, n);
        // Full: leave the rest in the socket, where TCP flow control holds the peer back.
        if (m_received.size() >= KeepLimit)
            m_notifier->setEnabled(false);
        return;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return;
    m_notifier->setEnabled(false);
    Q_EMIT Closed();
}

} // namespace net
