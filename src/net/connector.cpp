#include "connector.h"

#include "resolver.h"
#include "sockaddr.h"

#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace net {

Connector::Connector(Reactor &reactor, Resolver &resolver, QObject *parent)
    : QObject(parent), m_reactor(reactor), m_resolver(resolver)
{ }

Connector::~Connector()
{
    abort();
}

void Connector::start(quint16 port)
{
    abort();
    m_port = port;
    m_lastError = 0;
    m_forbidden.clear();
}

void Connector::connectTo(const QHostAddress &address, quint16 port)
{
    start(port);
    m_addresses = { address };
    // Started at once; a failure, even an immediate one, is raised from the event loop, after
    // the caller's own handler has returned (failLater).
    tryNext();
}

void Connector::connectTo(const QString &hostName, quint16 port, Families families)
{
    start(port);
    m_families = families;
    m_lookupId = m_resolver.lookup(hostName, [this](const QHostInfo &info) {
        m_lookupId = -1;
        lookedUp(info);
    });
}

void Connector::lookedUp(const QHostInfo &info)
{
    if (info.error() != QHostInfo::NoError) {
        failLater(NameNotFound, info.errorString());
        return;
    }
    m_addresses.clear();
    for (const QHostAddress &a : info.addresses()) {
        if (m_families == Families::Any || a.protocol() == QAbstractSocket::IPv4Protocol)
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
        const QHostAddress address = m_addresses.takeFirst();
        if (m_filter && !m_filter(address, m_port)) {
            m_forbidden = address;
            continue;
        }
        m_attempt = { plain(address), m_port };
        sockaddr_storage to {};
        const socklen_t length = toSockaddr(address, m_port, to);
        m_socket = Socket(::socket(to.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        if (!m_socket.isOpen()) {
            m_lastError = errno;
            continue;
        }
        // Small writes (replies, a client's keystrokes) go out at once; an accepted connection
        // has it from the listening socket.
        const int one = 1;
        ::setsockopt(m_socket.fd(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        // Non-blocking: the answer (or a failure) comes as the socket turning writable.
        const int done = ::connect(m_socket.fd(), reinterpret_cast<const sockaddr *>(&to), length);
        const int error = done == 0 ? 0 : errno;
        if (done == 0 || error == EINPROGRESS || error == EINTR) {
            m_watch.watch(m_socket, Reactor::Write);
            return;
        }
        m_lastError = error;
        closeAttempt();
    }
    if (m_lastError == 0 && !m_forbidden.isNull())
        failLater(Forbidden, tr("Connection not allowed"));
    else
        failLater(m_lastError, connectErrorText(m_lastError));
}

void Connector::socketReady(bool)
{
    // Writable alone is a connection made; only a failure needs its code asked for.
    int error = 0;
    socklen_t length = sizeof error;
    if ((m_reactor.readiness() & (EPOLLERR | EPOLLHUP))
        && ::getsockopt(m_socket.fd(), SOL_SOCKET, SO_ERROR, &error, &length) != 0)
        error = errno;
    if (error == 0) {
        ++m_generation;
        m_addresses.clear();
        Q_EMIT Connected();
        closeAttempt(); // nobody took it
        return;
    }
    m_lastError = error;
    closeAttempt();
    tryNext();
}

void Connector::closeAttempt()
{
    m_watch.letGo();
    m_socket.close();
}

void Connector::failLater(int error, const QString &description)
{
    closeAttempt();
    QMetaObject::invokeMethod(
        this,
        [this, error, description, generation = m_generation] {
            if (generation != m_generation)
                return;
            ++m_generation;
            Q_EMIT Failed(error, description);
        },
        Qt::QueuedConnection);
}

void Connector::abort()
{
    ++m_generation;
    if (m_lookupId >= 0)
        m_resolver.abort(std::exchange(m_lookupId, -1));
    closeAttempt();
    m_addresses.clear();
}

} // namespace net
