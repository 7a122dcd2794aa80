#pragma once

#include <QObject>

#include <array>
#include <cstdint>
#include <sys/epoll.h>

QT_BEGIN_NAMESPACE
class QSocketNotifier;
QT_END_NAMESPACE

namespace net {

/// Readiness of every socket of a relay through one epoll set, watched by a single socket
/// notifier on the owner's event loop. A browser opens and closes connections by the thousand;
/// with a notifier per socket, every start or stop of watching one would change the event loop's
/// own poll set. Here it is one epoll_ctl, and the event loop polls one descriptor.
///
/// Level-triggered. A socket in the set is always told of an error or a hang-up (as readable),
/// even when it asks for nothing else: a side that is not being read still learns of a reset.
class Reactor final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Reactor)

public:
    /// Told what a watched socket is ready for, one readiness at a time.
    class Watcher
    {
    public:
        virtual void socketReady(bool writable) = 0;

    protected:
        ~Watcher() = default;
    };

    enum Interest : std::uint32_t {
        None = 0,
        Read = EPOLLIN,
        Write = EPOLLOUT,
        PeerEnd = EPOLLRDHUP, ///< the peer's end (FIN), without reading what came before it
    };

    /// One socket's registration, owned (at a fixed address) by whoever owns the socket.
    struct Watch
    {
        explicit Watch(Watcher *w) : watcher(w) { }
        Watcher *watcher;
        int fd = -1;
        std::uint32_t events = 0;
        bool added = false; ///< in the epoll set
    };

    explicit Reactor(QObject *parent = nullptr);
    ~Reactor() override;

    /// Watches `fd` for `interest` (a combination of Interest), errors and hang-ups always.
    void watch(Watch &watch, int fd, std::uint32_t interest);
    /// Takes the socket out of the set; no event of it is delivered after that, even from a
    /// batch being delivered. Must be called before the descriptor is closed or handed on.
    void unwatch(Watch &watch);
    /// The same for a descriptor handed on at once to another watch, whose watch() takes the
    /// registration over in one call; until then no event of it is delivered. (One about to be
    /// closed is unwatched all the same: a forked child may hold it open a moment longer.)
    void release(Watch &watch);

private:
    void dispatch();
    void forget(Watch &watch);

    int m_epoll = -1;
    QSocketNotifier *m_notifier = nullptr;
    std::array<epoll_event, 64> m_batch {};
    int m_batchSize = 0; ///< events of the batch being delivered
    int m_released = -1; ///< the socket last released, still in the set
};

} // namespace net
