#pragma once

#include <QObject>

#include <array>
#include <cstdint>
#include <sys/epoll.h>

QT_BEGIN_NAMESPACE
class QSocketNotifier;
QT_END_NAMESPACE

namespace net {

/// Readiness of many sockets through one epoll set, watched by a single socket notifier on the
/// owner's event loop. A browser opens and closes connections by the thousand; with a notifier
/// per socket, every start or stop of watching one would add or remove a descriptor of the event
/// loop's own poll set and wake the loop to rebuild it. Here it is one epoll_ctl, and the event
/// loop polls one descriptor however many connections are open.
///
/// Semantics are those of a read and a write socket notifier: level-triggered; a socket with an
/// error or a hang-up counts as readable (and as writable while writing is wanted).
class Poller final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Poller)

public:
    /// Told what a watched socket is ready for, one readiness at a time.
    class Watcher
    {
    public:
        virtual void socketReady(bool writable) = 0;

    protected:
        ~Watcher() = default;
    };

    /// One socket's registration, owned (at a fixed address) by whoever owns the socket.
    struct Watch
    {
        explicit Watch(Watcher *w) : watcher(w) { }
        Watcher *watcher;
        int fd = -1;
        std::uint32_t events = 0; ///< what the epoll set holds for it; 0: not in the set
    };

    explicit Poller(QObject *parent);
    ~Poller() override;

    /// The poller shared by `object` and its siblings (made on first use, as a child of the
    /// object's parent, or of the object itself when it has none).
    static Poller *sharedBy(QObject *object);

    /// Watches `fd` for what is asked; asking for nothing takes it out of the set, and no event
    /// of it is delivered after that, even from a batch being delivered. Must be called with
    /// nothing asked before the descriptor is closed or handed to somebody else.
    void watch(Watch &watch, int fd, bool read, bool write);

private:
    void dispatch();

    int m_epoll = -1;
    QSocketNotifier *m_notifier = nullptr;
    std::array<epoll_event, 64> m_batch {};
    int m_batchSize = 0; ///< events of the batch being delivered
};

} // namespace net
