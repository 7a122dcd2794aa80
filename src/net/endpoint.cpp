#include "endpoint.h"

#include "lingerer.h"
#include "listenserver.h"

#include <QHostAddress>
#include <QTcpSocket>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <poll.h>
#include <unistd.h>

namespace net {

namespace {

/// Peers are reported as plain dotted IPv4 even when the socket layer hands us a mapped form.
QString dotted(const QHostAddress &address)
{
    bool ok = false;
    const quint32 v4 = address.toIPv4Address(&ok);
    return ok ? QHostAddress(v4).toString() : address.toString();
}

/// The address and port at one end of a socket (getpeername or getsockname).
template<typename Get> std::pair<QString, quint16> socketAddress(int fd, Get get)
{
    sockaddr_storage a {};
    socklen_t length = sizeof a;
    if (get(fd, reinterpret_cast<sockaddr *>(&a), &length) != 0)
        return { {}, 0 };
    const QHostAddress address(reinterpret_cast<const sockaddr *>(&a));
    // sin_port and sin6_port sit at the same offset.
    return { dotted(address), ntohs(reinterpret_cast<const sockaddr_in *>(&a)->sin_port) };
}

/// What a failed connection attempt is called, in the words of Qt's own socket layer (which
/// connects to host names), so that a destination fails with the same text either way.
QString connectErrorText(int error)
{
    switch (error) {
    case ECONNREFUSED:
    case EINVAL:
        return Endpoint::tr("Connection refused");
    case ETIMEDOUT:
        return Endpoint::tr("Connection timed out");
    case EHOSTUNREACH:
        return Endpoint::tr("Host unreachable");
    case ENETUNREACH:
        return Endpoint::tr("Network unreachable");
    case EADDRINUSE:
        return Endpoint::tr("Address already in use");
    case EACCES:
    case EPERM:
        return Endpoint::tr("Permission denied");
    default:
        return QString::fromLocal8Bit(std::strerror(error));
    }
}

/// A peer that resets or has gone is its close, as with a Winsock control; not a failure.
bool peerWentAway(int error)
{
    return error == ECONNRESET || error == EPIPE || error == ECONNABORTED;
}

} // namespace

Endpoint::Endpoint(QObject *parent) : QObject(parent) { }

Endpoint::~Endpoint()
{
    releaseLinks();
    if (m_fd >= 0) {
        setWatch(false, false);
        ::close(m_fd);
    }
}

void Endpoint::setWatch(bool read, bool write)
{
    m_reading = read && m_fd >= 0;
    m_writing = write && m_fd >= 0;
    // Made with the first descriptor (attach(), Connect()), once the parent is known.
    if (m_poller)
        m_poller->watch(m_watch, m_fd, m_reading, m_writing);
}

void Endpoint::socketReady(bool writable)
{
    if (writable)
        onWritable();
    else
        onReadable();
}

quint32 Endpoint::LocalPort() const
{
    if (m_server)
        return m_server->serverPort();
    if (m_fd >= 0)
        return socketAddress(m_fd, ::getsockname).second;
    if (m_connector)
        return m_connector->localPort();
    return m_localPort;
}

bool Endpoint::Listen()
{
    if (m_state != sckClosed) {
        m_errorString = tr("The endpoint is already in use");
        return false;
    }
    auto *server = new ListenServer(this);
    if (!server->listen(QHostAddress::AnyIPv4, static_cast<quint16>(m_localPort))) {
        m_errorString = server->errorString();
        delete server;
        return false;
    }
    connect(server, &QTcpServer::acceptError, this, [this, server] {
        if (server == m_server)
            Q_EMIT Error(static_cast<int>(server->serverError()), server->errorString());
    });
    m_server = server;
    ++m_generation;
    m_state = sckListening;
    return true;
}

void Endpoint::onIncoming(qintptr descriptor)
{
    const auto [address, port] = socketAddress(static_cast<int>(descriptor), ::getpeername);
    if (!address.isEmpty()) {
        m_remoteHostIP = address;
        m_remotePort = port;
        Q_EMIT ConnectionRequest(descriptor);
    }
    // Accept() works on a duplicate, so this closes the request unless somebody took it.
    ::close(static_cast<int>(descriptor));
}

bool Endpoint::Accept(qintptr requestID)
{
    if (m_state != sckClosed)
        return false;
    const int own = ::fcntl(static_cast<int>(requestID), F_DUPFD_CLOEXEC, 0);
    if (own < 0)
        return false;
    // A freshly accepted socket has no other status flag to keep.
    ::fcntl(own, F_SETFL, O_NONBLOCK);
    attach(own, false);
    return true;
}

bool Endpoint::Connect(const QString &host, quint32 port)
{
    if (m_state != sckClosed)
        return false;
    in_addr ip {};
    if (::inet_pton(AF_INET, host.toLatin1().constData(), &ip) != 1) {
        connectByName(host, port);
        return true;
    }
    ++m_generation;
    m_errorString.clear();
    m_state = sckConnecting;
    m_remoteHostIP = host;
    m_remotePort = port;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        connectFailed(errno);
        return true;
    }
    sockaddr_in to {};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<quint16>(port));
    to.sin_addr = ip;
    // Non-blocking: the answer (or a failure) comes as the socket turning writable.
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&to), sizeof to) != 0
        && errno != EINPROGRESS && errno != EINTR) {
        const int error = errno;
        ::close(fd);
        connectFailed(error);
        return true;
    }
    if (!m_poller)
        m_poller = Poller::sharedBy(this);
    m_fd = fd;
    setWatch(false, true);
    return true;
}

void Endpoint::finishConnecting()
{
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
        error = errno;
    if (error != 0) {
        connectFailed(error);
        return;
    }
    m_writing = false; // attach() watches for input instead, in one change
    attach(m_fd, true);
    Q_EMIT Connected();
}

void Endpoint::connectFailed(int error)
{
    if (m_fd >= 0) {
        setWatch(false, false);
        ::close(std::exchange(m_fd, -1));
    }
    // Failing inside Connect() would raise the event inside the caller's own call: it is raised
    // afterwards, from the event loop, as every other outcome of connecting is.
    m_state = sckError;
    m_errorString = connectErrorText(error);
    QMetaObject::invokeMethod(
        this,
        [this, generation = m_generation] {
            if (generation == m_generation && m_state == sckError)
                Q_EMIT Error(static_cast<int>(QAbstractSocket::NetworkError), m_errorString);
        },
        Qt::QueuedConnection);
}

void Endpoint::connectByName(const QString &host, quint32 port)
{
    auto *socket = new QTcpSocket(this);
    m_connector = socket;
    ++m_generation;
    m_errorString.clear();
    m_state = sckConnecting;
    m_remoteHostIP = host;
    m_remotePort = port;
    // Both handlers check that the socket is still ours: Close() disconnects them, and this keeps
    // a late signal from the old socket away from the next connection all the same.
    connect(socket, &QTcpSocket::connected, this, [this, socket] {
        if (socket == m_connector)
            takeOver(socket);
    });
    connect(socket, &QTcpSocket::errorOccurred, this,
        [this, socket](QAbstractSocket::SocketError error) {
            if (socket != m_connector || m_state == sckError)
                return;
            m_state = sckError;
            m_errorString = socket->errorString();
            Q_EMIT Error(static_cast<int>(error), m_errorString);
        });
    // The relay's grant carries an IPv4 address: a host name resolves to IPv4 only.
    socket->connectToHost(
        host, static_cast<quint16>(port), QIODevice::ReadWrite, QAbstractSocket::IPv4Protocol);
}

void Endpoint::takeOver(QTcpSocket *socket)
{
    // The connection is up: keep a duplicate of its descriptor and let the QTcpSocket go. Closing
    // its descriptor does not end the connection while ours stays open.
    m_connector = nullptr;
    const int own = ::fcntl(static_cast<int>(socket->socketDescriptor()), F_DUPFD_CLOEXEC, 0);
    const QByteArray early = socket->readAll();
    socket->disconnect(this);
    socket->abort();
    socket->deleteLater();
    if (own < 0) {
        fail(errno);
        return;
    }
    attach(own, false);
    m_in = early;
    Q_EMIT Connected();
}

void Endpoint::attach(int fd, bool peerKnown)
{
    if (!m_poller)
        m_poller = Poller::sharedBy(this);
    m_fd = fd;
    ++m_generation;
    m_state = sckConnected;
    m_paused = false;
    m_peerClosed = false;
    m_writeFailed = false;
    m_errorString.clear();
    m_in.clear();
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (!peerKnown)
        std::tie(m_remoteHostIP, m_remotePort) = socketAddress(fd, ::getpeername);
    updateReader();
}

void Endpoint::updateReader()
{
    setWatch(m_state == sckConnected && !m_paused && !m_peerClosed && !m_waitingOn, m_writing);
}

qint64 Endpoint::kernelBytes() const
{
    int n = 0;
    return m_fd >= 0 && ::ioctl(m_fd, FIONREAD, &n) == 0 ? n : 0;
}

void Endpoint::onReadable()
{
    if (m_state != sckConnected)
        return;
    const qint64 waiting = m_in.size() + kernelBytes();
    if (waiting > 0) {
        Q_EMIT DataArrival(std::min(waiting, ReadChunk));
        return;
    }
    char probe = 0;
    const ssize_t n = ::recv(m_fd, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n > 0)
        Q_EMIT DataArrival(1);
    else if (n == 0 || peerWentAway(errno))
        peerGone();
    else if (errno != EAGAIN && errno != EINTR)
        fail(errno);
}

void Endpoint::peerGone()
{
    if (m_peerClosed || m_state != sckConnected)
        return;
    m_peerClosed = true;
    m_state = sckClosing;
    updateReader();
    Q_EMIT Closed();
}

void Endpoint::fail(int error)
{
    m_state = sckError;
    m_errorString = QString::fromLocal8Bit(std::strerror(error));
    setWatch(false, false);
    Q_EMIT Error(static_cast<int>(QAbstractSocket::NetworkError), m_errorString);
}

void Endpoint::postWriteFailure(int error)
{
    // Sending happens inside the owner's handlers; the event it causes is raised afterwards.
    m_writeFailed = true;
    m_out.clear();
    setWatch(m_reading, false);
    QMetaObject::invokeMethod(
        this,
        [this, error, generation = m_generation] {
            if (generation != m_generation)
                return;
            if (peerWentAway(error))
                peerGone();
            else if (m_state == sckConnected || m_state == sckClosing)
                fail(error);
        },
        Qt::QueuedConnection);
}

void Endpoint::flush()
{
    int error = 0;
    switch (m_out.flush(m_fd, error)) {
    case Outgoing::Result::Done:
        setWatch(m_reading, false);
        break;
    case Outgoing::Result::Blocked:
        setWatch(m_reading, true);
        break;
    case Outgoing::Result::Failed:
        postWriteFailure(error);
        return;
    }
    if (m_feeder && m_out.pipeRoom() > 0) {
        Endpoint *feeder = std::exchange(m_feeder, nullptr);
        feeder->m_waitingOn = nullptr;
        feeder->updateReader();
    }
}

void Endpoint::onWritable()
{
    if (m_state == sckConnecting && m_fd >= 0) {
        finishConnecting();
        return;
    }
    if (m_fd < 0 || m_writeFailed)
        return;
    const qint64 before = m_out.size();
    flush();
    if (m_fd >= 0 && m_out.size() != before)
        Q_EMIT SendProgress(m_out.size());
}

void Endpoint::SendData(const QByteArray &bytes)
{
    if (m_fd < 0 || m_state != sckConnected || bytes.isEmpty() || m_writeFailed)
        return;
    m_out.append(bytes);
    flush();
}

QByteArray Endpoint::GetData(qint64 maxLen)
{
    if (m_fd < 0)
        return {};
    QByteArray bytes = maxLen < 0 ? std::exchange(m_in, {}) : m_in.left(maxLen);
    m_in.remove(0, bytes.size());
    const qint64 wanted = maxLen < 0 ? kernelBytes() : maxLen - bytes.size();
    if (wanted <= 0)
        return bytes;
    const qsizetype had = bytes.size();
    bytes.resize(had + wanted);
    ssize_t n = 0;
    do
        n = ::recv(m_fd, bytes.data() + had, static_cast<size_t>(wanted), MSG_DONTWAIT);
    while (n < 0 && errno == EINTR);
    // An end or a failure is reported by the next read event, once these bytes are handled.
    bytes.truncate(had + std::max<qint64>(n, 0));
    return bytes;
}

qint64 Endpoint::TransferTo(Endpoint &to, qint64 maxLen)
{
    const qint64 most = maxLen < 0 ? ReadChunk : std::min(maxLen, ReadChunk);
    const bool spliceable = m_zeroCopy && to.m_zeroCopy && m_in.isEmpty() && m_fd >= 0
        && to.m_fd >= 0 && to.m_state == sckConnected && !to.m_writeFailed && !to.m_out.copyOnly()
        && !to.m_out.hasCopied();
    if (spliceable) {
        const qint64 moved = to.m_out.spliceFrom(m_fd, most);
        if (moved > 0) {
            to.flush();
            return moved;
        }
        if (moved == 0) {
            if (to.m_out.pipeRoom() == 0) {
                // No room: read nothing until the other side has taken some.
                m_waitingOn = &to;
                to.m_feeder = this;
                updateReader();
            }
            return 0;
        }
        if (Outgoing::spliceRefused(errno))
            m_zeroCopy = false;
    }
    const QByteArray chunk = GetData(most);
    to.SendData(chunk);
    return chunk.size();
}

qint64 Endpoint::BytesAvailable() const
{
    return std::min(m_in.size() + kernelBytes(), ReadChunk);
}

qint64 Endpoint::BytesToSend() const
{
    return m_out.size();
}

bool Endpoint::IsReadingHeld() const
{
    return m_fd >= 0 && m_state == sckConnected && !m_peerClosed && (m_paused || m_waitingOn);
}

void Endpoint::ProbePeer()
{
    if (!IsReadingHeld())
        return;
    // POLLERR and POLLHUP are reported whatever is asked for; a peer's plain end (FIN) is not
    // looked at here, because the bytes before it must be read first.
    pollfd p { m_fd, 0, 0 };
    if (::poll(&p, 1, 0) <= 0 || (p.revents & (POLLERR | POLLHUP)) == 0)
        return;
    int error = 0;
    socklen_t length = sizeof error;
    ::getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &error, &length);
    if (error == 0 || peerWentAway(error))
        peerGone();
    else
        fail(error);
}

void Endpoint::PauseReading()
{
    m_paused = true;
    updateReader();
}

void Endpoint::ResumeReading()
{
    m_paused = false;
    updateReader();
}

void Endpoint::releaseLinks()
{
    if (m_feeder) {
        m_feeder->m_waitingOn = nullptr;
        m_feeder->updateReader();
        m_feeder = nullptr;
    }
    if (m_waitingOn) {
        m_waitingOn->m_feeder = nullptr;
        m_waitingOn = nullptr;
    }
}

void Endpoint::Close()
{
    ++m_generation;
    const bool peerClosed = m_peerClosed;
    const bool connecting = m_state == sckConnecting;
    m_state = sckClosed;
    m_paused = false;
    m_peerClosed = false;
    releaseLinks();
    if (m_server) {
        m_server->disconnect(this);
        m_server->close();
        m_server->deleteLater();
        m_server = nullptr;
    }
    if (m_connector) {
        QTcpSocket *socket = std::exchange(m_connector, nullptr);
        socket->disconnect(this);
        socket->abort();
        socket->deleteLater();
    }
    if (m_fd < 0)
        return;
    setWatch(false, false);
    const int fd = std::exchange(m_fd, -1);
    m_in.clear();
    if (connecting || m_writeFailed || (peerClosed && m_out.size() == 0)) {
        // Nothing to deliver and nothing more to read: the end is orderly at once.
        ::close(fd);
        m_out.clear();
    } else {
        if (!m_lingerer)
            m_lingerer = Lingerer::sharedBy(this);
        // Queued bytes go with the connection; an empty pipe stays for the next one.
        Outgoing pending;
        if (m_out.size() > 0)
            pending = std::exchange(m_out, Outgoing());
        m_lingerer->add(fd, std::move(pending), peerClosed);
    }
    m_writeFailed = false;
}

} // namespace net
