#include "reactor.h"

#include <QSocketNotifier>

#include <algorithm>
#include <cerrno>
#include <unistd.h>

namespace net {

void Socket::close()
{
    if (m_fd < 0)
        return;
    if (m_set)
        m_set->remove(*this);
    ::close(std::exchange(m_fd, -1));
}

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

void Reactor::Watch::watch(Socket &socket, std::uint32_t interest)
{
    if (m_socket && m_socket != &socket)
        unwatch();
    const bool inSet = socket.m_set == &m_reactor;
    if (m_socket == &socket && inSet && m_events == interest)
        return;
    epoll_event e {};
    e.events = interest;
    e.data.ptr = this;
    if (::epoll_ctl(m_reactor.m_epoll, inSet ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, socket.m_fd, &e)
        != 0) {
        const int error = errno;
        qWarning(
            "Reactor: cannot watch socket %d: %s", socket.m_fd, qPrintable(qt_error_string(error)));
        return;
    }
    socket.m_set = &m_reactor;
    m_socket = &socket;
    m_events = interest;
}

void Reactor::Watch::unwatch()
{
    if (!m_socket)
        return;
    if (m_socket->m_set == &m_reactor)
        m_reactor.remove(*m_socket);
    m_reactor.forget(*this);
}

Socket Reactor::Watch::handOver()
{
    if (!m_socket)
        return {};
    Socket socket = std::move(*m_socket);
    m_reactor.forget(*this);
    return socket;
}

void Reactor::remove(Socket &socket)
{
    ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, socket.m_fd, nullptr);
    socket.m_set = nullptr;
}

void Reactor::forget(Watch &watch)
{
    watch.m_socket = nullptr;
    watch.m_events = 0;
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
        m_readiness = got;
        // Each handler may stop watching any socket (scrubbing its entries from this batch) or
        // change what it waits for, so both are looked at again before each call.
        auto *w = static_cast<Watch *>(e.data.ptr);
        if (w && (w->m_events & EPOLLOUT) && (got & (EPOLLOUT | trouble)))
            w->m_watcher->socketReady(true);
        w = static_cast<Watch *>(e.data.ptr);
        if (w && (got & (trouble | (w->m_events & (EPOLLIN | EPOLLRDHUP)))))
            w->m_watcher->socketReady(false);
    }
    m_batchSize = 0;
}

} // namespace net
