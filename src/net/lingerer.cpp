#include "lingerer.h"

#include "descriptors.h"

#include <algorithm>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <vector>

namespace net {

namespace {

/// Bytes in the socket's send queue that its peer has not acknowledged yet (-1 if unknown).
qint64 unacknowledged(const Socket &socket)
{
    int queued = 0;
    return ::ioctl(socket.fd(), SIOCOUTQ, &queued) == 0 ? queued : -1;
}

} // namespace

struct Lingerer::Closing final : Reactor::Watcher
{
    Closing(Lingerer *o, Socket s) : owner(o), socket(std::move(s)) { }
    void socketReady(bool writable) override
    {
        owner->onReady(this, writable); // may end this object: nothing follows the call
    }

    Lingerer *owner;
    Socket socket;
    Reactor::Watch watch { owner->m_reactor, this };
    Outgoing outgoing;
    bool peerEnded = false; ///< nothing more can arrive
    bool ended = false; ///< everything was handed to the kernel and our end was sent
    qint64 endedAt = 0; ///< when our end was sent, on the lingerer's clock
    qint64 progressAt = 0; ///< when the peer last took something (or the owner closed)
    qint64 owed = -1; ///< bytes still owed at that time: queued here and unacknowledged
};

Lingerer::Lingerer(Reactor &reactor, QObject *parent) : QObject(parent), m_reactor(reactor)
{
    m_limits.most = lingerBound(openFileLimit());
    m_clock.start();
    m_sweep.setInterval(SweepMs);
    m_sweep.setTimerType(Qt::CoarseTimer);
    connect(&m_sweep, &QTimer::timeout, this, &Lingerer::sweep);
}

Lingerer::~Lingerer() = default;

void Lingerer::add(Socket socket, Outgoing outgoing, bool peerEnded)
{
    // A churn of endings that owe much to peers that take nothing must not hold descriptors and
    // pipes without bound: the one that has lingered longest goes first.
    while (!m_closing.empty() && std::ssize(m_closing) >= std::max(m_limits.most, 1))
        finish(m_closing.front().get(), true);
    auto c = std::make_unique<Closing>(this, std::move(socket));
    c->outgoing = std::move(outgoing);
    c->peerEnded = peerEnded;
    c->progressAt = m_clock.elapsed();
    Closing *raw = c.get();
    m_closing.push_back(std::move(c));
    if (!m_sweep.isActive())
        m_sweep.start();
    flush(raw);
}

void Lingerer::flush(Closing *c)
{
    int error = 0;
    switch (c->outgoing.flush(c->socket.fd(), error)) {
    case Outgoing::Result::Blocked:
        c->watch.watch(c->socket, Reactor::Write);
        return;
    case Outgoing::Result::Failed:
        finish(c, false); // the peer is gone: nothing can be delivered any more
        return;
    case Outgoing::Result::Done:
        break;
    }
    c->ended = true;
    c->endedAt = m_clock.elapsed();
    ::shutdown(c->socket.fd(), SHUT_WR);
    if (c->peerEnded && unacknowledged(c->socket) == 0) {
        finish(c, false);
        return;
    }
    // Told of the peer's end without reading what it still sends.
    c->watch.watch(c->socket, c->peerEnded ? Reactor::None : Reactor::PeerEnd);
}

void Lingerer::onReady(Closing *c, bool writable)
{
    if (writable && !c->ended) {
        flush(c);
        return;
    }
    int error = 0;
    socklen_t length = sizeof error;
    ::getsockopt(c->socket.fd(), SOL_SOCKET, SO_ERROR, &error, &length);
    if (error != 0) {
        finish(c, false); // reset
        return;
    }
    // The peer has ended (or both ends are done): stop listening, or the hang-up repeats.
    c->peerEnded = true;
    c->watch.unwatch();
    if (c->ended && unacknowledged(c->socket) == 0)
        finish(c, false);
}

void Lingerer::sweep()
{
    const qint64 now = m_clock.elapsed();
    std::vector<std::pair<Closing *, bool>> done; // and whether it is reset
    for (const std::unique_ptr<Closing> &c : m_closing) {
        const qint64 inKernel = unacknowledged(c->socket);
        const qint64 owed = c->outgoing.size() + std::max<qint64>(inKernel, 0);
        // Any byte acknowledged since the last look is progress: the peer is still taking.
        if (c->owed < 0 || owed < c->owed)
            c->progressAt = now;
        c->owed = owed;
        if (c->ended && inKernel == 0 && (c->peerEnded || now - c->endedAt >= PeerEndMs))
            done.emplace_back(c.get(), false);
        else if (now - c->progressAt >= m_limits.idle.count())
            done.emplace_back(c.get(), true);
    }
    for (const auto &[c, reset] : done)
        finish(c, reset);
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
    gone->watch.letGo();
    if (reset) {
        const linger hard { 1, 0 };
        ::setsockopt(gone->socket.fd(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    }
    // Bytes the peer sent that were never read make this a reset, as intended for a peer that
    // kept sending after our end. The socket closes with `gone`.
}

} // namespace net
