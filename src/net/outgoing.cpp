#include "outgoing.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace net {

namespace {

/// Room asked for each pipe: a fast stream moves this much per wake-up with few calls. The
/// kernel allocates the pages only as they fill, so an idle pipe costs next to nothing.
constexpr int PipeSize = 1024 * 1024;

} // namespace

bool Outgoing::spliceRefused(int error)
{
    return error == EINVAL || error == ENOSYS || error == EOPNOTSUPP || error == EPERM;
}

Outgoing::~Outgoing()
{
    closePipe();
}

Outgoing::Outgoing(Outgoing &&other) noexcept
    : m_pipeRead(std::exchange(other.m_pipeRead, -1)),
      m_pipeWrite(std::exchange(other.m_pipeWrite, -1)), m_piped(std::exchange(other.m_piped, 0)),
      m_capacity(std::exchange(other.m_capacity, 0)), m_bytes(std::exchange(other.m_bytes, {})),
      m_sent(std::exchange(other.m_sent, 0)), m_copyOnly(other.m_copyOnly)
{ }

Outgoing &Outgoing::operator=(Outgoing &&other) noexcept
{
    if (this != &other) {
        closePipe();
        m_pipeRead = std::exchange(other.m_pipeRead, -1);
        m_pipeWrite = std::exchange(other.m_pipeWrite, -1);
        m_piped = std::exchange(other.m_piped, 0);
        m_capacity = std::exchange(other.m_capacity, 0);
        m_bytes = std::exchange(other.m_bytes, {});
        m_sent = std::exchange(other.m_sent, 0);
        m_copyOnly = other.m_copyOnly;
    }
    return *this;
}

void Outgoing::append(const QByteArray &bytes)
{
    if (m_sent > 0) {
        m_bytes.remove(0, m_sent);
        m_sent = 0;
    }
    m_bytes += bytes;
}

bool Outgoing::openPipe()
{
    if (m_pipeRead >= 0)
        return true;
    int ends[2];
    if (::pipe2(ends, O_NONBLOCK | O_CLOEXEC) != 0)
        return false;
    m_pipeRead = ends[0];
    m_pipeWrite = ends[1];
    ::fcntl(m_pipeWrite, F_SETPIPE_SZ, PipeSize); // a smaller pipe still works, in smaller steps
    const int capacity = ::fcntl(m_pipeWrite, F_GETPIPE_SZ);
    m_capacity = capacity > 0 ? capacity : 4096;
    return true;
}

void Outgoing::closePipe()
{
    if (m_pipeRead >= 0) {
        ::close(m_pipeRead);
        ::close(m_pipeWrite);
    }
    m_pipeRead = m_pipeWrite = -1;
    m_piped = 0;
    m_capacity = 0;
}

qint64 Outgoing::spliceFrom(int from, qint64 maxLen, int &error)
{
    error = 0;
    if (!openPipe())
        return -1;
    const qint64 room = pipeRoom();
    const qint64 wanted = maxLen < 0 ? room : std::min(maxLen, room);
    if (wanted <= 0)
        return 0;
    for (;;) {
        const ssize_t n = ::splice(from, nullptr, m_pipeWrite, nullptr, static_cast<size_t>(wanted),
            SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
        if (n >= 0) {
            m_piped += n;
            return n;
        }
        const int failure = errno;
        if (failure == EINTR)
            continue;
        if (spliceRefused(failure))
            return -1;
        if (failure != EAGAIN)
            error = failure;
        return 0;
    }
}

void Outgoing::unpipe()
{
    // The socket refuses splice: take the pipe's bytes back and send them by copy, in front.
    QByteArray held(m_piped, Qt::Uninitialized);
    qint64 got = 0;
    while (got < m_piped) {
        const ssize_t n = ::read(m_pipeRead, held.data() + got, static_cast<size_t>(m_piped - got));
        if (n <= 0)
            break;
        got += n;
    }
    held.truncate(got);
    m_bytes = held + m_bytes.mid(m_sent);
    m_sent = 0;
    m_piped = 0;
    m_copyOnly = true;
}

Outgoing::Result Outgoing::flush(int fd, int &error)
{
    while (m_piped > 0) {
        const ssize_t n = ::splice(m_pipeRead, nullptr, fd, nullptr, static_cast<size_t>(m_piped),
            SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
        if (n > 0) {
            m_piped -= n;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN)
            return Result::Blocked;
        if (n < 0 && spliceRefused(errno)) {
            unpipe();
            break;
        }
        error = n < 0 ? errno : EPIPE;
        return Result::Failed;
    }
    while (m_sent < m_bytes.size()) {
        const ssize_t n = ::send(fd, m_bytes.constData() + m_sent,
            static_cast<size_t>(m_bytes.size() - m_sent), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            m_sent += n;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN)
            return Result::Blocked;
        error = n < 0 ? errno : EPIPE;
        return Result::Failed;
    }
    m_bytes.clear();
    m_sent = 0;
    return Result::Done;
}

void Outgoing::clear()
{
    if (m_piped > 0)
        closePipe(); // its bytes belong to the old connection
    m_bytes.clear();
    m_sent = 0;
    m_copyOnly = false;
}

} // namespace net
