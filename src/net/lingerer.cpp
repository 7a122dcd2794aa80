#include "lingerer.h"

#include <algorithm>
#include <cerrno>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace net {

struct Lingerer::Closing final : Reactor::Watcher
{
    explicit Closing(Lingerer *o) : owner(o) { }
    void socketReady(bool writable) override
    {
        owner->onReady(this, writable); // may end this object: nothing follows the call
    }

    Lingerer *owner;
    Reactor::Watch watch { this };
    int fd = -1;
    Outgoing outgoing;
    bool peerEnded = false; ///< nothing more can arrive
    bool ended = false; ///< everything was handed to the kernel and our end was sent
    qint64 since = 0; ///< when our end was sent (or the owner closed), on the lingerer's clock
};

Lingerer::Lingerer(Reactor &reactor, QObject *parent) : QObject(parent), m_reactor(reactor)
{
    m_clock.start();
    m_sweep.setInterval(SweepMs);
    m_sweep.setTimerType(Qt::CoarseTimer);
    connect(&m_sweep, &QTimer::timeout, this, &Lingerer::sweep);
}

Lingerer::~Lingerer()
{
    for (const std::unique_ptr<Closing> &c : m_closing) {
        m_reactor.unwatch(c->watch);
        ::close(c->fd);
    }
}

void Lingerer::add(int fd, Outgoing outgoing, bool peerEnded)
{
    auto c = std::make_unique<Closing>(this);
    c->fd = fd;
    c->outgoing = std::move(outgoing);
    c->peerEnded = peerEnded;
    c->since = m_clock.elapsed();
    Closing *raw = c.get();
    m_closing.push_back(std::move(c));
    if (!m_sweep.isActive())
        m_sweep.start();
    flush(raw);
}

void Lingerer::flush(Closing *c)
{
    int error = 0;
    switch (c->outgoing.flush(c->fd, error)) {
    case Outgoing::Result::Blocked:
        m_reactor.watch(c->watch, c->fd, Reactor::Write);
        return;
    case Outgoing::Result::Failed:
        finish(c, false); // the peer is gone: nothing can be delivered any more
        return;
    case Outgoing::Result::Done:
        break;
    }
    c->ended = true;
    c->since = m_clock.elapsed();
    ::shutdown(c->fd, SHUT_WR);
    if (c->peerEnded && acknowledged(c)) {
        finish(c, false);
        return;
    }
    // Told of the peer's end without reading what it still sends.
    m_reactor.watch(c->watch, c->fd, c->peerEnded ? Reactor::None : Reactor::PeerEnd);
}

void Lingerer::onReady(Closing *c, bool writable)
{
    if (writable && !c->ended) {
        flush(c);
        return;
    }
    int error = 0;
    socklen_t length = sizeof error;
    ::getsockopt(c->fd, SOL_SOCKET, SO_ERROR, &error, &length);
    if (error != 0) {
        finish(c, false); // reset
        return;
    }
    // The peer has ended (or both ends are done): stop listening, or the hang-up repeats.
    c->peerEnded = true;
    m_reactor.unwatch(c->watch);
    if (c->ended && acknowledged(c))
        finish(c, false);
}

bool Lingerer::acknowledged(const Closing *c) const
{
    int unacknowledged = 0;
    return ::ioctl(c->fd, SIOCOUTQ, &unacknowledged) == 0 && unacknowledged == 0;
}

void Lingerer::sweep()
{
    const qint64 now = m_clock.elapsed();
    std::vector<Closing *> done;
    for (const std::unique_ptr<Closing> &c : m_closing) {
        const qint64 age = now - c->since;
        if (age >= LingerTimeoutMs)
            done.push_back(c.get());
        else if (c->ended && (c->peerEnded || age >= PeerEndMs) && acknowledged(c.get()))
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
    m_reactor.unwatch(gone->watch);
    if (reset) {
        const linger hard { 1, 0 };
        ::setsockopt(gone->fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    }
    // Bytes the peer sent that were never read make this a reset, as intended for a peer that
    // kept sending after our end.
    ::close(gone->fd);
}

} // namespace net
