#include "lingerer.h"

#include "sharedchild.h"

#include <algorithm>
#include <cerrno>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace net {

struct Lingerer::Closing final : Poller::Watcher
{
    explicit Closing(Lingerer *o) : owner(o) { }
    void socketReady(bool writable) override
    {
        // May end this object: nothing follows the call.
        writable ? owner->onWritable(this) : owner->onReadable(this);
    }

    Lingerer *owner;
    Poller::Watch watch { this };
    bool reading = false;
    bool writing = false;
    int fd = -1;
    Outgoing outgoing;
    bool peerClosed = false; ///< the peer's end has been read: nothing more arrives
    bool finished = false; ///< everything was handed to the kernel and our end was sent
    qint64 since = 0; ///< when the owner closed, on the lingerer's clock
};

Lingerer::Lingerer(QObject *parent) : QObject(parent)
{
    m_clock.start();
    m_sweep.setInterval(SweepMs);
    m_sweep.setTimerType(Qt::CoarseTimer);
    connect(&m_sweep, &QTimer::timeout, this, &Lingerer::sweep);
}

Lingerer::~Lingerer()
{
    for (const std::unique_ptr<Closing> &c : m_closing) {
        if (m_poller)
            m_poller->watch(c->watch, c->fd, false, false);
        ::close(c->fd);
    }
}

Lingerer *Lingerer::sharedBy(QObject *endpoint)
{
    return sharedChild<Lingerer>(endpoint);
}

void Lingerer::watch(Closing *c, bool read, bool write)
{
    c->reading = read;
    c->writing = write;
    if (m_poller)
        m_poller->watch(c->watch, c->fd, read, write);
}

void Lingerer::add(int fd, Outgoing outgoing, bool peerClosed)
{
    if (!m_poller)
        m_poller = Poller::sharedBy(this);
    auto c = std::make_unique<Closing>(this);
    c->fd = fd;
    c->outgoing = std::move(outgoing);
    c->peerClosed = peerClosed;
    c->since = m_clock.elapsed();
    Closing *raw = c.get();
    watch(raw, !peerClosed, false);
    m_closing.push_back(std::move(c));
    if (!m_sweep.isActive())
        m_sweep.start();
    onWritable(raw);
}

void Lingerer::onReadable(Closing *c)
{
    if (m_clock.elapsed() - c->since >= DrainMs) {
        watch(c, false, c->writing);
        return;
    }
    if (m_scratch.isEmpty())
        m_scratch.resize(64 * 1024);
    const ssize_t n = ::recv(c->fd, m_scratch.data(), static_cast<size_t>(m_scratch.size()), 0);
    if (n > 0 || (n < 0 && (errno == EAGAIN || errno == EINTR)))
        return; // thrown away
    if (n < 0) {
        finish(c, false); // reset: nothing can be delivered any more
        return;
    }
    c->peerClosed = true;
    watch(c, false, c->writing);
    if (c->finished)
        finish(c, false);
}

void Lingerer::onWritable(Closing *c)
{
    int error = 0;
    switch (c->outgoing.flush(c->fd, error)) {
    case Outgoing::Result::Blocked:
        watch(c, c->reading, true);
        return;
    case Outgoing::Result::Failed:
        finish(c, false);
        return;
    case Outgoing::Result::Done:
        break;
    }
    watch(c, c->reading, false);
    c->finished = true;
    ::shutdown(c->fd, SHUT_WR);
    // With the peer's end read too, closing is orderly: the kernel still sends what it holds.
    if (c->peerClosed)
        finish(c, false);
}

void Lingerer::sweep()
{
    const qint64 now = m_clock.elapsed();
    std::vector<Closing *> done;
    for (const std::unique_ptr<Closing> &c : m_closing) {
        const qint64 age = now - c->since;
        if (age >= LingerTimeoutMs) {
            done.push_back(c.get());
            continue;
        }
        if (age < DrainMs)
            continue;
        watch(c.get(), false, c->writing);
        int unacknowledged = 0;
        if (c->finished && ::ioctl(c->fd, SIOCOUTQ, &unacknowledged) == 0 && unacknowledged == 0)
            done.push_back(c.get());
    }
    for (Closing *c : done)
        finish(c, now - c->since >= LingerTimeoutMs);
    if (m_closing.empty())
        m_sweep.stop();
}

void Lingerer::finish(Closing *c, bool reset)
{
    const auto it = std::find_if(m_closing.begin(), m_closing.end(),
        [c](const std::unique_ptr<Closing> &p) { return p.get() == c; });
    if (it == m_closing.end())
        return;
    std::unique_ptr<Closing> gone = std::move(*it);
    m_closing.erase(it);
    watch(gone.get(), false, false);
    if (reset) {
        const linger hard { 1, 0 };
        ::setsockopt(gone->fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    }
    ::close(gone->fd);
}

} // namespace net
