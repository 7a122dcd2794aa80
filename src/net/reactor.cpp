#include "reactor.h"

#include <QSocketNotifier>

#include <algorithm>
#include <cerrno>
#include <unistd.h>

namespace net {

Reactor::Reactor(QObject *parent) : QObject(parent), m_epoll(::epoll_create1(EPOLL_CLOEXEC))
{
    if (m_epoll < 0)
        qFatal("epoll_create1 failed: %s", qPrintable(qt_error_string(errno)));
    m_notifier = new QSocketNotifier(m_epoll, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &Reactor::dispatch);
}

Reactor::~Reactor()
{
    delete m_notifier; // before its descriptor goes
    ::close(m_epoll);
}

void Reactor::watch(Watch &watch, int fd, std::uint32_t interest)
{
    if (watch.added && fd != watch.fd)
        unwatch(watch);
    if (watch.added && watch.events == interest)
        return;
    epoll_event e {};
    e.events = interest;
    e.data.ptr = &watch;
    // A socket just released by another watch is still in the set: taken over in one call.
    const bool inSet = watch.added || fd == std::exchange(m_released, -1);
    int done = ::epoll_ctl(m_epoll, inSet ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, fd, &e);
    if (done != 0 && !watch.added && (errno == EEXIST || errno == ENOENT))
        done = ::epoll_ctl(m_epoll, inSet ? EPOLL_CTL_ADD : EPOLL_CTL_MOD, fd, &e);
    if (done != 0) {
        qWarning("Reactor: cannot watch socket %d: %s", fd, qPrintable(qt_error_string(errno)));
        return;
    }
    watch.fd = fd;
    watch.events = interest;
    watch.added = true;
}

void Reactor::unwatch(Watch &watch)
{
    if (!watch.added)
        return;
    ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, watch.fd, nullptr);
    forget(watch);
}

void Reactor::release(Watch &watch)
{
    if (!watch.added)
        return;
    m_released = watch.fd;
    forget(watch);
}

void Reactor::forget(Watch &watch)
{
    watch.added = false;
    watch.events = 0;
    // Whatever the batch being delivered still holds for it is no longer wanted.
    for (int k = 0; k < m_batchSize; ++k) {
        if (m_batch[static_cast<size_t>(k)].data.ptr == &watch)
            m_batch[static_cast<size_t>(k)].data.ptr = nullptr;
    }
}

void Reactor::dispatch()
{
    // A handler that spins a nested event loop (a modal dialog) must not start a second batch
    // over this one; the set is level-triggered, so what is left is reported again afterwards.
    if (m_batchSize > 0)
        return;
    int n = 0;
    do
        n = ::epoll_wait(m_epoll, m_batch.data(), static_cast<int>(m_batch.size()), 0);
    while (n < 0 && errno == EINTR);
    m_batchSize = std::max(n, 0);
    constexpr std::uint32_t trouble = EPOLLERR | EPOLLHUP;
    for (int k = 0; k < m_batchSize; ++k) {
        epoll_event &e = m_batch[static_cast<size_t>(k)];
        const std::uint32_t got = e.events;
        // Each handler may stop watching any socket (scrubbing its entries from this batch) or
        // change what it waits for, so both are looked at again before each call.
        auto *w = static_cast<Watch *>(e.data.ptr);
        if (w && (w->events & EPOLLOUT) && (got & (EPOLLOUT | trouble)))
            w->watcher->socketReady(true);
        w = static_cast<Watch *>(e.data.ptr);
        if (w && (got & (trouble | (w->events & (EPOLLIN | EPOLLRDHUP)))))
            w->watcher->socketReady(false);
    }
    m_batchSize = 0;
}

} // namespace net
