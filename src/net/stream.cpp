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

Stream::~Stream() = default;

const SocketAddress &Stream::peer() const
{
    if (!m_peer)
        m_peer = m_socket.isOpen() ? peerOf(m_socket.fd()) : SocketAddress();
    return *m_peer;
}

const SocketAddress &Stream::local() const
{
    if (!m_local)
        m_local = m_socket.isOpen() ? localOf(m_socket.fd()) : SocketAddress();
    return *m_local;
}

bool Stream::Accept(Socket socket, std::optional<SocketAddress> peer)
{
    if (m_state != sckClosed || m_socket.isOpen())
        return false;
    m_socket = std::move(socket);
    ++m_generation;
    m_state = sckConnected;
    m_delivered = 0;
    m_taken = 0;
    m_drained = false;
    m_reading = true;
    m_zeroCopy = true;
    m_blocked = m_hungUp = m_shutdownWanted = m_shutdownDone = m_gone = false;
    m_peer = std::move(peer);
    m_local.reset();
    updateWatch();
    return true;
}

void Stream::updateWatch()
{
    if (!m_socket.isOpen() || m_gone)
        return;
    const bool reading = m_reading && m_state == sckConnected;
    if (reading)
        m_hungUp = false;
    if (m_hungUp && !m_blocked) {
        m_watch.unwatch();
        return;
    }
    m_watch.watch(m_socket,
        (reading ? Reactor::Read | Reactor::PeerEnd : 0U) | (m_blocked ? Reactor::Write : 0U));
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
        if (m_socket.isOpen() && !m_gone)
            Q_EMIT SendProgress(m_out.size());
    } else if (m_reading && m_state == sckConnected) {
        onReadable();
    } else {
        onTrouble();
    }
}

void Stream::onReadable()
{
    // Told of the peer's end along with the readiness (EPOLLRDHUP), the stream asks the kernel
    // nothing on the way: plain readiness means bytes to take, and only an end or an error needs
    // the count of what is still before it.
    const std::uint32_t events = m_reactor.readiness();
    qint64 announced = ReadChunk;
    const bool ended = (events & (EPOLLRDHUP | EPOLLHUP | EPOLLERR)) != 0;
    if (ended) {
        int kernel = 0;
        if (::ioctl(m_socket.fd(), FIONREAD, &kernel) != 0)
            kernel = 0;
        if (kernel <= 0) {
            int error = 0;
            socklen_t length = sizeof error;
            if (events & EPOLLERR)
                ::getsockopt(m_socket.fd(), SOL_SOCKET, SO_ERROR, &error, &length);
            if (error != 0)
                goneNow(error);
            else
                peerEnded();
            return;
        }
        announced = std::min<qint64>(kernel, ReadChunk);
    }
    m_drained = false;
    m_taken = 0;
    const quint64 generation = m_generation;
    Q_EMIT DataArrival(announced);
    // Everything before an orderly end was taken: the end is reported now, not on another turn.
    if (ended && !(events & EPOLLERR) && generation == m_generation && m_reading
        && m_state == sckConnected && !m_gone && m_taken >= announced && announced < ReadChunk)
        peerEnded();
}

void Stream::onTrouble()
{
    // Not reading: only an error or a hang-up brings us here.
    int error = 0;
    socklen_t length = sizeof error;
    ::getsockopt(m_socket.fd(), SOL_SOCKET, SO_ERROR, &error, &length);
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
    m_watch.unwatch();
    if (peerWentAway(error))
        Q_EMIT Closed();
    else
        Q_EMIT Error(QString::fromLocal8Bit(std::strerror(error)));
}

void Stream::failed(int error)
{
    // Sending and relaying happen inside the owner's handlers; the event a failure causes is
    // raised afterwards. The kernel reports it only once, so it is kept until then.
    m_gone = true;
    m_out.clear();
    m_blocked = false;
    QMetaObject::invokeMethod(
        this,
        [this, error, generation = m_generation] {
            if (generation == m_generation && m_socket.isOpen() && m_state != sckError)
                goneNow(error);
        },
        Qt::QueuedConnection);
}

void Stream::flush()
{
    if (!m_socket.isOpen() || m_gone)
        return;
    int error = 0;
    const qint64 queued = m_out.size();
    const Outgoing::Result result = m_out.flush(m_socket.fd(), error);
    m_delivered += queued - m_out.size();
    if (result == Outgoing::Result::Failed) {
        failed(error);
        return;
    }
    const bool blocked = result == Outgoing::Result::Blocked;
    if (!blocked && m_shutdownWanted && !m_shutdownDone) {
        m_shutdownDone = true;
        ::shutdown(m_socket.fd(), SHUT_WR);
    }
    if (blocked != m_blocked) {
        m_blocked = blocked;
        updateWatch();
    }
}

void Stream::SendData(const QByteArray &bytes)
{
    if (!m_socket.isOpen() || m_gone || m_shutdownWanted || bytes.isEmpty())
        return;
    m_out.append(bytes);
    flush();
}

QByteArray Stream::GetData(qint64 maxLen)
{
    if (!m_socket.isOpen() || m_drained)
        return {};
    const qint64 wanted = maxLen < 0 ? ReadChunk : maxLen;
    // Requests are small: read into the stack, and allocate only what came.
    char small[4096];
    const bool big = wanted > qint64(sizeof small);
    QByteArray bytes;
    if (big)
        bytes.resize(wanted);
    char *into = big ? bytes.data() : small;
    ssize_t n = 0;
    do
        n = ::recv(m_socket.fd(), into, static_cast<size_t>(wanted), MSG_DONTWAIT);
    while (n < 0 && errno == EINTR);
    const int error = n < 0 ? errno : 0;
    // An end is reported by the next read event, once these bytes are handled.
    if (error != 0 && error != EAGAIN)
        failed(error);
    const qint64 got = std::max<qint64>(n, 0);
    tookBytes(got, wanted);
    if (!big)
        return QByteArray(small, got);
    bytes.truncate(got);
    return bytes;
}

void Stream::tookBytes(qint64 got, qint64 wanted)
{
    m_taken += got;
    // Less than asked for: the socket is empty until the next readiness says otherwise.
    if (got > 0 && got < wanted)
        m_drained = true;
}

bool Stream::acceptsSplice() const
{
    return m_socket.isOpen() && !m_gone && !m_shutdownWanted && !m_out.copyOnly()
        && !m_out.hasCopied();
}

qint64 Stream::transferTo(Stream &to)
{
    if (m_zeroCopy && m_socket.isOpen() && to.acceptsSplice()) {
        int error = 0;
        if (m_drained)
            return 0;
        const qint64 room = to.m_out.pipeRoom();
        const qint64 moved = to.m_out.spliceFrom(m_socket.fd(), -1, error);
        if (moved > 0) {
            tookBytes(moved, room);
            to.flush();
            return moved;
        }
        if (moved == 0) {
            if (error != 0)
                failed(error);
            return 0;
        }
        m_zeroCopy = false; // the kernel refuses: copy from now on
    }
    if (to.isFull() || !to.m_socket.isOpen() || to.m_gone)
        return 0;
    const QByteArray chunk = GetData(ReadChunk);
    to.SendData(chunk);
    return chunk.size();
}

void Stream::shutdownSend()
{
    if (!m_socket.isOpen() || m_shutdownWanted)
        return;
    m_shutdownWanted = true;
    flush();
}

void Stream::Close()
{
    ++m_generation;
    const bool peerDone = m_state == sckClosing;
    m_state = sckClosed;
    if (!m_socket.isOpen())
        return;
    if (m_gone || (peerDone && m_out.size() == 0)) {
        // Nothing to deliver and nothing more to read: the end is orderly at once.
        m_watch.letGo();
        m_socket.close();
        m_out.clear();
    } else {
        // Queued bytes go with the connection (and its registration, taken over by the
        // lingerer); an empty pipe stays for the next one.
        Outgoing pending;
        if (m_out.size() > 0)
            pending = std::exchange(m_out, Outgoing());
        Socket socket = m_watch.isWatching() ? m_watch.handOver() : std::move(m_socket);
        m_lingerer.add(std::move(socket), std::move(pending), peerDone);
    }
    m_gone = false;
}

} // namespace net
