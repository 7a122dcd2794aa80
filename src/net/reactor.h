#pragma once

#include "socket.h"

#include <QObject>

#include <array>
#include <cstdint>
#include <vector>
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
///
/// A socket that closes leaves the set by closing: the kernel drops a registration with the
/// last reference to the socket, so no epoll_ctl is spent on it. Each registration carries a
/// numbered ticket, not the watch's address; a ticket is void once its watch lets go, so an
/// event of a socket that lives on a moment longer elsewhere (a forked child that has not yet
/// reached exec) reaches nobody.
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

    /// One owner's registration of its socket, at a fixed address: declare it after the Socket
    /// it watches, so that it is gone first. It stops watching when destroyed.
    class Watch final
    {
        Q_DISABLE_COPY_MOVE(Watch)

    public:
        Watch(Reactor &reactor, Watcher *watcher) : m_reactor(reactor), m_watcher(watcher) { }
        ~Watch() { unwatch(); }

        /// Watches `socket` for `interest` (a combination of Interest), errors and hang-ups
        /// always. A socket handed over by another watch is taken over in one call.
        void watch(Socket &socket, std::uint32_t interest);
        /// Takes the socket out of the set; no event of it is delivered after that, even from a
        /// batch being delivered.
        void unwatch();
        /// Stops watching a socket that is about to close: it stays in the set until its close
        /// takes it out, but no event of it is delivered after this call.
        void letGo();
        /// Hands the socket on, still in the set, for another watch to take over; until then no
        /// event of it is delivered. Empty when nothing was watched.
        Socket handOver();
        bool isWatching() const { return m_socket != nullptr; }
        /// Told after every other socket of the same batch (a listener: the connections that
        /// ended in the batch free their slots before the new ones ask for one).
        void setLast(bool last) { m_last = last; }

    private:
        friend class Reactor;
        Reactor &m_reactor;
        Watcher *m_watcher;
        Socket *m_socket = nullptr;
        std::uint32_t m_events = 0;
        std::uint64_t m_ticket = 0;
        bool m_last = false;
    };

    explicit Reactor(QObject *parent = nullptr);
    ~Reactor() override;

    /// Within socketReady(): everything epoll reported for that socket (EPOLLIN, EPOLLRDHUP,
    /// EPOLLERR ...), so that a watcher learns of a peer's end without asking the kernel.
    std::uint32_t readiness() const { return m_readiness; }

private:
    void dispatch();
    void deliverBatch();
    void deliver(const epoll_event &e);
    void remove(Socket &socket);
    std::uint64_t enlist(Watch &watch);
    void forget(Watch &watch);
    void release(std::uint64_t ticket);
    Watch *holder(std::uint64_t ticket) const;

    struct Entry
    {
        Watch *watch = nullptr;
        std::uint32_t round = 0; ///< bumped whenever the entry is let go
    };
    int m_epoll = -1;
    std::vector<Entry> m_entries; ///< by ticket number (the ticket's low half)
    std::vector<std::uint32_t> m_spare; ///< entries free for another watch
    QSocketNotifier *m_notifier = nullptr;
    static constexpr int BatchesPerWake = 4;
    std::array<epoll_event, 64> m_batch {};
    int m_batchSize = 0; ///< events of the batch being delivered
    std::uint32_t m_readiness = 0;
};

} // namespace net
