#include "poller.h"

#include "sharedchild.h"

#include <QSocketNotifier>

#include <algorithm>
#include <cerrno>
#include <unistd.h>

namespace net {

Poller::Poller(QObject *parent) : QObject(parent), m_epoll(::epoll_create1(EPOLL_CLOEXEC))
{
    if (m_epoll < 0)
        qFatal("epoll_create1 failed: %s", qPrintable(qt_error_string(errno)));
    m_notifier = new QSocketNotifier(m_epoll, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &Poller::dispatch);
}

Poller::~Poller()
{
    delete m_notifier; // before its descriptor goes
    ::close(m_epoll);
}

Poller *Poller::sharedBy(QObject *object)
{
    return sharedChild<Poller>(object);
}

void Poller::watch(Watch &watch, int fd, bool read, bool write)
{
    const std::uint32_t events = (read ? EPOLLIN : 0U) | (write ? EPOLLOUT : 0U);
    if (watch.events != 0 && (events == 0 || fd != watch.fd)) {
        ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, watch.fd, nullptr);
        watch.events = 0;
        // Whatever the batch being delivered still holds for it is no longer wanted.
        for (int k = 0; k < m_batchSize; ++k) {
            if (m_batch[static_cast<size_t>(k)].data.ptr == &watch)
                m_batch[static_cast<size_t>(k)].data.ptr = nullptr;
        }
    }
    watch.fd = fd;
    if (events == 0 || events == watch.events)
        return;
    epoll_event e {};
    e.events = events;
    e.data.ptr = &watch;
    const int op = watch.events == 0 ? EPOLL_CTL_ADD : EPOLL_CTL_MOD;
    if (::epoll_ctl(m_epoll, op, fd, &e) == 0)
        watch.events = events;
    else
        qWarning("Poller: cannot watch socket %d: %s", fd, qPrintable(qt_error_string(errno)));
}

void Poller::dispatch()
{
    // A handler that spins a nested event loop must not start a second batch over this one;
    // the set is level-triggered, so what is left is reported again afterwards.
    if (m_batchSize > 0)
        return;
    int n = 0;
    do
        n = ::epoll_wait(m_epoll, m_batch.data(), static_cast<int>(m_batch.size()), 0);
    while (n < 0 && errno == EINTR);
    m_batchSize = std::max(n, 0);
    for (int k = 0; k < m_batchSize; ++k) {
        epoll_event &e = m_batch[static_cast<size_t>(k)];
        const std::uint32_t got = e.events;
        // Each handler may stop watching any socket (scrubbing its entries from this batch) or
        // change what it waits for, so both are looked at again before each call.
        auto *w = static_cast<Watch *>(e.data.ptr);
        if (w && (w->events & EPOLLOUT) && (got & (EPOLLOUT | EPOLLERR | EPOLLHUP)))
            w->watcher->socketReady(true);
        w = static_cast<Watch *>(e.data.ptr);
        if (w && (w->events & EPOLLIN) && (got & (EPOLLIN | EPOLLERR | EPOLLHUP)))
            w->watcher->socketReady(false);
    }
    m_batchSize = 0;
}

} // namespace net
