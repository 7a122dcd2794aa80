#include "connector.h"

#include "sockaddr.h"

#include <QHostInfo>

#include <cerrno>
#include <sys/socket.h>
#include <unistd.h>

namespace net {

Connector::Connector(Reactor &reactor, QObject *parent) : QObject(parent), m_reactor(reactor) { }

Connector::~Connector()
{
    abort();
}

void Connector::start(quint16 port)
{
    abort();
    m_active = true;
    m_port = port;
    m_lastError = 0;
}

void Connector::connectTo(const QHostAddress &address, quint16 port)
{
    start(port);
    m_addresses = { address };
    // The first attempt starts from the event loop too, so that even an immediate failure is
    // raised after the caller's own handler has returned.
    QMetaObject::invokeMethod(
        this,
        [this, generation = m_generation] {
            if (generation == m_generation)
                tryNext();
        },
        Qt::QueuedConnection);
}

void Connector::connectTo(const QString &hostName, quint16 port, Families families)
{
    start(port);
    m_families = families;
    // Through a slot by name: a lookup still under way when the program ends then leaves
    // nothing of ours behind (a functor would stay allocated with the pending answer).
    m_lookupId = QHostInfo::lookupHost(hostName, this, SLOT(onLookedUp(QHostInfo)));
}

void Connector::onLookedUp(const QHostInfo &info)
{
    if (info.lookupId() != m_lookupId)
        return; // given up since
    m_lookupId = -1;
    lookedUp(info, m_families);
}

void Connector::lookedUp(const QHostInfo &info, Families families)
{
    if (info.error() != QHostInfo::NoError) {
        failLater(NameNotFound, info.errorString());
        return;
    }
    m_addresses.clear();
    for (const QHostAddress &a : info.addresses()) {
        if (families == Families::Any || a.protocol() == QAbstractSocket::IPv4Protocol)
            m_addresses << a;
    }
    if (m_addresses.isEmpty()) {
        failLater(NameNotFound, tr("Host not found"));
        return;
    }
    tryNext();
}

void Connector::tryNext()
{
    while (!m_addresses.isEmpty()) {
        sockaddr_storage to {};
        const socklen_t length = toSockaddr(m_addresses.takeFirst(), m_port, to);
        m_fd = ::socket(to.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (m_fd < 0) {
            m_lastError = errno;
            continue;
        }
        // Non-blocking: the answer (or a failure) comes as the socket turning writable.
        if (::connect(m_fd, reinterpret_cast<const sockaddr *>(&to), length) == 0
            || errno == EINPROGRESS || errno == EINTR) {
            m_reactor.watch(m_watch, m_fd, Reactor::Write);
            return;
        }
        m_lastError = errno;
        closeAttempt();
    }
    failLater(m_lastError, connectErrorText(m_lastError));
}

void Connector::socketReady(bool)
{
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
        error = errno;
    if (error == 0) {
        m_reactor.release(m_watch); // for the stream that takes the connection
        const int fd = std::exchange(m_fd, -1);
        m_active = false;
        ++m_generation;
        Q_EMIT Connected(fd);
        return;
    }
    m_lastError = error;
    closeAttempt();
    tryNext();
}

void Connector::closeAttempt()
{
    if (m_fd < 0)
        return;
    m_reactor.unwatch(m_watch);
    ::close(std::exchange(m_fd, -1));
}

void Connector::failLater(int error, const QString &description)
{
    closeAttempt();
    QMetaObject::invokeMethod(
        this,
        [this, error, description, generation = m_generation] {
            if (generation != m_generation)
                return;
            m_active = false;
            ++m_generation;
            Q_EMIT Failed(error, description);
        },
        Qt::QueuedConnection);
}

void Connector::abort()
{
    ++m_generation;
    m_active = false;
    m_lookupId = -1; // a lookup under way finishes unheard
    closeAttempt();
    m_addresses.clear();
}

} // namespace net
