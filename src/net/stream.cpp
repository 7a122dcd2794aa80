#include "stream.h"

#include "lingerer.h"
#include "sockaddr.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace net {

namespace {

/// A peer that resets or has gone is its close, as with a Winsock control; not a failure.
bool peerWentAway(int error)
{
    return error == ECONNRESET || error == EPIPE || error == ECONNABORTED;
}

} // namespace

Stream::Stream(Reactor &reactor, Lingerer &lingerer, QObject *parent)
    : QObject(parent), m_reactor(reactor), m_lingerer(lingerer)
{
    // Splicing into a socket whose peer has gone raises SIGPIPE, and splice, unlike send,
    // cannot be told not to: the failure must come back as EPIPE, an ordinary end of one
    // connection, instead of ending (or, under a crash handler, aborting) the whole program.
    std::signal(SIGPIPE, SIG_IGN);
}

Stream::~Stream()
{
    if (m_fd >= 0) {
        m_reactor.unwatch(m_watch);
        ::close(m_fd);
    }
}

const SocketAddress &Stream::peer() const
{
    if (!m_peer)
        m_peer = m_fd >= 0 ? peerOf(m_fd) : SocketAddress();
    return *m_peer;
}

const SocketAddress &Stream::local() const
{
    if (!m_local)
        m_local = m_fd >= 0 ? localOf(m_fd) : SocketAddress();
    return *m_local;
}

bool Stream::Accept(int fd, const QByteArray &received)
{
    if (m_state != sckClosed || m_fd >= 0)
        return false;
    m_fd = fd;
    ++m_generation;
    m_state = sckConnected;
    m_in = received;
    m_delivered = 0;
    m_reading = true;
    m_blocked = m_hungUp = m_shutdownWanted = m_shutdownDone = m_gone = false;
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    m_peer.reset();
    m_local.reset();
    updateWatch();
    return true;
}

void Stream::updateWatch()
{
    if (m_fd < 0 || m_gone)
        return;
    const bool reading = m_reading && m_state == sckConnected;
    if (reading)
        m_hungUp = false;
    if (m_hungUp && !m_blocked) {
        m_reactor.unwatch(m_watch);
        return;
    }
    m_reactor.watch(
        m_watch, m_fd, (reading ? Reactor::Read : 0U) | (m_blocked ? Reactor::Write : 0U));
}

void Stream::setReading(bool on)
{
    if (m_reading == on)
        return;
    m_reading = on;
    updateWatch();
}

void Stream::socketReady(bool writable)
{
    if (writable) {
        flush();
        if (m_fd >= 0 && !m_gone)
            Q_EMIT SendProgress(m_out.size());
    } else if (m_reading && m_state == sckConnected) {
        onReadable();
    } else {
        onTrouble();
    }
}

void Stream::onReadable()
{
    int kernel = 0;
    if (::ioctl(m_fd, FIONREAD, &kernel) != 0)
        kernel = 0;
    const qint64 waiting = m_in.size() + kernel;
    if (waiting > 0) {
        Q_EMIT DataArrival(std::min(waiting, ReadChunk));
        return;
    }
    char probe = 0;
    const ssize_t n = ::recv(m_fd, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n > 0)
        Q_EMIT DataArrival(1);
    else if (n == 0)
        peerEnded();
    else if (errno != EAGAIN && errno != EINTR)
        goneNow(errno);
}

void Stream::onTrouble()
{
    // Not reading: only an error or a hang-up brings us here.
    int error = 0;
    socklen_t length = sizeof error;
    ::getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &error, &length);
    if (error != 0) {
        goneNow(error);
        return;
    }
    // Both ends are done, but bytes before the peer's end still wait to be read: stop watching
    // (the hang-up would repeat) until reading is switched on again.
    m_hungUp = true;
    updateWatch();
}

void Stream::peerEnded()
{
    m_state = sckClosing;
    const quint64 generation = m_generation;
    Q_EMIT Closed();
    // Not read any more (the end would be reported again), unless the owner closed it already.
    if (generation == m_generation)
        updateWatch();
}

void Stream::goneNow(int error)
{
    m_gone = true;
    m_state = sckError;
    m_out.clear();
    m_reactor.unwatch(m_watch);
    if (peerWentAway(error))
        Q_EMIT Closed();
    else
        Q_EMIT Error(QString::fromLocal8Bit(std::strerror(error)));
}

void Stream::sendFailed(int error)
{
    // Sending happens inside the owner's handlers; the event it causes is raised afterwards.
    m_gone = true;
    m_out.clear();
    m_blocked = false;
    QMetaObject::invokeMethod(
        this,
        [this, error, generation = m_generation] {
            if (generation == m_generation && m_fd >= 0 && m_state != sckError)
                goneNow(error);
        },
        Qt::QueuedConnection);
}

void Stream::flush()
{
    if (m_fd < 0 || m_gone)
        return;
    int error = 0;
    const qint64 queued = m_out.size();
    const Outgoing::Result result = m_out.flush(m_fd, error);
    m_delivered += queued - m_out.size();
    if (result == Outgoing::Result::Failed) {
        sendFailed(error);
        return;
    }
    const bool blocked = result == Outgoing::Result::Blocked;
    if (!blocked && m_shutdownWanted && !m_shutdownDone) {
        m_shutdownDone = true;
        ::shutdown(m_fd, SHUT_WR);
    }
    if (blocked != m_blocked) {
        m_blocked = blocked;
        updateWatch();
    }
}

void Stream::SendData(const QByteArray &bytes)
{
    if (m_fd < 0 || m_gone || m_shutdownWanted || bytes.isEmpty())
        return;
    m_out.append(bytes);
    flush();
}

QByteArray Stream::GetData(qint64 maxLen)
{
    if (m_fd < 0)
        return {};
    const qint64 most = maxLen < 0 ? ReadChunk : maxLen;
    QByteArray bytes = m_in.left(most);
    m_in.remove(0, bytes.size());
    const qint64 wanted = most - bytes.size();
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

bool Stream::acceptsSplice() const
{
    return m_zeroCopy && m_fd >= 0 && !m_gone && !m_shutdownWanted && !m_out.copyOnly()
        && !m_out.hasCopied();
}

qint64 Stream::TransferTo(Stream &to)
{
    if (m_zeroCopy && m_in.isEmpty() && m_fd >= 0 && to.acceptsSplice()) {
        const qint64 moved = to.m_out.spliceFrom(m_fd, -1);
        if (moved > 0) {
            to.flush();
            return moved;
        }
        if (moved == 0)
            return 0;
        if (Outgoing::spliceRefused(errno))
            m_zeroCopy = false;
    }
    if (to.isFull() || to.m_fd < 0 || to.m_gone)
        return 0;
    const QByteArray chunk = GetData(ReadChunk);
    to.SendData(chunk);
    return chunk.size();
}

void Stream::ShutdownSend()
{
    if (m_fd < 0 || m_shutdownWanted)
        return;
    m_shutdownWanted = true;
    flush();
}

void Stream::Close()
{
    ++m_generation;
    const bool peerDone = m_state == sckClosing;
    m_state = sckClosed;
    if (m_fd < 0)
        return;
    m_reactor.unwatch(m_watch);
    const int fd = std::exchange(m_fd, -1);
    m_in.clear();
    if (m_gone || (peerDone && m_out.size() == 0)) {
        // Nothing to deliver and nothing more to read: the end is orderly at once.
        ::close(fd);
        m_out.clear();
    } else {
        // Queued bytes go with the connection; an empty pipe stays for the next one.
        Outgoing pending;
        if (m_out.size() > 0)
            pending = std::exchange(m_out, Outgoing());
        m_lingerer.add(fd, std::move(pending), peerDone);
    }
    m_gone = false;
}

} // namespace net
